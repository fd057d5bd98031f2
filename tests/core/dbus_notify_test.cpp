#include "vlx/app/dbus_notify.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gio/gio.h>
#include <gtest/gtest.h>

#include "dbus_session.h"

namespace vlx {
namespace {

// Another program on the bus: its own connection, collecting our signals.
class Listener {
public:
    explicit Listener(const std::string& address) {
        conn_ = g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        ctx_ = g_main_context_new();
        g_main_context_push_thread_default(ctx_);
        sub_ = g_dbus_connection_signal_subscribe(conn_, nullptr, kDbusInterface, nullptr, kDbusPath, nullptr,
                                                  G_DBUS_SIGNAL_FLAGS_NONE, &Listener::On, this, nullptr);
        g_main_context_pop_thread_default(ctx_);
        // Make sure the match rule is in place before anyone emits.
        g_dbus_connection_call_sync(conn_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                    "org.freedesktop.DBus", "GetId", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000,
                                    nullptr, nullptr);
    }
    ~Listener() {
        g_dbus_connection_signal_unsubscribe(conn_, sub_);
        g_object_unref(conn_);
        g_main_context_unref(ctx_);
    }
    GDBusConnection* conn() { return conn_; }

    // Waits (pumping our context) for a signal of this name.
    bool WaitFor(const std::string& name, uint64_t* w, int64_t* l) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < until) {
            g_main_context_iteration(ctx_, FALSE);
            for (auto& s : seen_) {
                if (s.name == name) {
                    *w = s.w;
                    *l = s.l;
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

private:
    struct Seen {
        std::string name;
        uint64_t w;
        int64_t l;
    };
    static void On(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name, GVariant* params,
                   gpointer data) {
        guint64 w = 0;
        gint64 l = 0;
        if (g_variant_is_of_type(params, G_VARIANT_TYPE("(tx)"))) g_variant_get(params, "(tx)", &w, &l);
        static_cast<Listener*>(data)->seen_.push_back({name, w, l});
    }
    GDBusConnection* conn_;
    GMainContext* ctx_;
    guint sub_;
    std::vector<Seen> seen_;
};

TEST(DbusNotify, ClipBroadcastCarriesTheCaptureTimeInTwoHalves) {
    test::PrivateBus bus;
    DbusNotifier notifier(bus.address());
    ASSERT_TRUE(notifier.connected());
    Listener listener(bus.address());
    const int64_t t = (int64_t{3} << 32) + 1234567;  // beyond 2106, so both halves matter
    ASSERT_TRUE(notifier.NotifyClip(t));
    uint64_t w = 0;
    int64_t l = 0;
    ASSERT_TRUE(listener.WaitFor("VigiluxV2NotifyMessage", &w, &l));
    EXPECT_EQ(w, 3u);
    EXPECT_EQ(l, 1234567);
}

TEST(DbusNotify, AnyProgramsQueryIsAnswered) {
    test::PrivateBus bus;
    DbusNotifier notifier(bus.address());
    notifier.AnswerQueries([] { return std::pair<int64_t, int64_t>(87, 5); });
    Listener listener(bus.address());
    // The query comes from a separate program: dbus-send.
    // (--session registers on the bus; --address would send unregistered.)
    std::string cmd = "DBUS_SESSION_BUS_ADDRESS='" + bus.address() +
                      "' dbus-send --session --type=signal /some/where org.vigilux.Station.VLX_QUERY";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    uint64_t w = 0;
    int64_t l = 0;
    ASSERT_TRUE(listener.WaitFor("VLX_ANSER", &w, &l));
    EXPECT_EQ(w, 87u);
    EXPECT_EQ(l, 5);
}

TEST(DbusNotify, WithoutABusEverythingIsANoOp) {
    DbusNotifier notifier("unix:path=/nonexistent/bus-socket");
    EXPECT_FALSE(notifier.connected());
    EXPECT_FALSE(notifier.NotifyClip(1));
}

}  // namespace
}  // namespace vlx
