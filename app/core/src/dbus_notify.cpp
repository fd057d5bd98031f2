#include "vlx/app/dbus_notify.h"

#include <mutex>
#include <thread>

#include <gio/gio.h>

namespace vlx {

struct DbusNotifier::Impl {
    GDBusConnection* conn = nullptr;
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    std::thread thread;
    guint subscription = 0;
    std::mutex mu;
    std::function<std::pair<int64_t, int64_t>()> answer;
    DbusNotifier* owner = nullptr;

    static void OnQuery(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                        gpointer data) {
        Impl* self = static_cast<Impl*>(data);
        std::function<std::pair<int64_t, int64_t>()> answer;
        {
            std::lock_guard<std::mutex> lock(self->mu);
            answer = self->answer;
        }
        if (!answer) return;
        auto [w, l] = answer();
        self->owner->Broadcast(kAnswerSignal, static_cast<uint64_t>(w), l);
    }
};

DbusNotifier::DbusNotifier(const std::string& address) : impl_(std::make_unique<Impl>()) {
    impl_->owner = this;
    GError* err = nullptr;
    if (!address.empty()) {
        impl_->conn = g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &err);
    } else {
        gchar* addr = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &err);
        if (addr) {
            g_free(addr);
            impl_->conn = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &err);
            if (impl_->conn) g_dbus_connection_set_exit_on_close(impl_->conn, FALSE);
        }
    }
    if (err) {
        g_message("D-Bus notification off: %s", err->message);
        g_error_free(err);
    }
    if (!impl_->conn) return;

    // Incoming queries are dispatched on a private context of our own thread,
    // so neither the window nor the station's main loop has to run GLib.
    impl_->context = g_main_context_new();
    impl_->loop = g_main_loop_new(impl_->context, FALSE);
    g_main_context_push_thread_default(impl_->context);
    impl_->subscription = g_dbus_connection_signal_subscribe(
        impl_->conn, nullptr, kDbusInterface, kQuerySignal, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        &Impl::OnQuery, impl_.get(), nullptr);
    g_main_context_pop_thread_default(impl_->context);
    // The match rule goes out without a reply; one round trip makes sure the
    // bus has it before the first query could be sent.
    GVariant* id = g_dbus_connection_call_sync(impl_->conn, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                               "org.freedesktop.DBus", "GetId", nullptr, nullptr,
                                               G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (id) g_variant_unref(id);
    impl_->thread = std::thread([impl = impl_.get()] {
        g_main_context_push_thread_default(impl->context);
        g_main_loop_run(impl->loop);
        g_main_context_pop_thread_default(impl->context);
    });
}

DbusNotifier::~DbusNotifier() {
    if (!impl_->conn) return;
    g_dbus_connection_signal_unsubscribe(impl_->conn, impl_->subscription);
    // Quit from inside the loop: a quit issued before the thread has entered
    // g_main_loop_run would be lost and the join would wait for ever.
    GSource* quit = g_idle_source_new();
    g_source_set_callback(
        quit,
        [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        impl_->loop, nullptr);
    g_source_attach(quit, impl_->context);
    g_source_unref(quit);
    if (impl_->thread.joinable()) impl_->thread.join();
    g_dbus_connection_flush_sync(impl_->conn, nullptr, nullptr);
    g_object_unref(impl_->conn);
    g_main_loop_unref(impl_->loop);
    g_main_context_unref(impl_->context);
}

bool DbusNotifier::connected() const { return impl_->conn != nullptr; }

bool DbusNotifier::Broadcast(const char* name, uint64_t wparam, int64_t lparam) {
    if (!impl_->conn) return false;
    GError* err = nullptr;
    gboolean ok = g_dbus_connection_emit_signal(impl_->conn, nullptr, kDbusPath, kDbusInterface, name,
                                                g_variant_new("(tx)", static_cast<guint64>(wparam),
                                                              static_cast<gint64>(lparam)),
                                                &err);
    if (err) {
        g_message("D-Bus signal %s not sent: %s", name, err->message);
        g_error_free(err);
    }
    if (ok) g_dbus_connection_flush(impl_->conn, nullptr, nullptr, nullptr);
    return ok;
}

bool DbusNotifier::NotifyClip(int64_t clip_start_time) {
    uint64_t t = static_cast<uint64_t>(clip_start_time);
    return Broadcast(kNotifySignal, t >> 32, static_cast<int64_t>(t & 0xFFFFFFFFu));
}

void DbusNotifier::AnswerQueries(std::function<std::pair<int64_t, int64_t>()> answer) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->answer = std::move(answer);
}

}  // namespace vlx
