#include "vlx/notify/mail.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "socket_io.h"
#include "text.h"

namespace vlx {

namespace {

using notify::FileNameOf;
using notify::HostPort;
using notify::NetStatus;
using notify::StripLineBreaks;
using notify::TcpConnection;

constexpr int kMaxReplyLines = 100;

struct Server {
    const char* name;      // "smtp" or "pop3", for the status texts
    const char* timeout;   // status when the server says nothing
    const char* lost;      // status when the connection breaks
};

constexpr Server kSmtp{"smtp", "-MAIL ME004: smtp server did not answer", "-MAIL ME005: smtp connection lost"};
constexpr Server kPop{"pop3", "-MAIL ME105: pop3 server did not answer", "-MAIL ME106: pop3 connection lost"};

bool Fail(AppContext& ctx, const std::string& text) {
    ctx.status.Set(text);
    return false;
}

bool FailNet(AppContext& ctx, const Server& server, NetStatus st) {
    // A mail given up because the station stops is reported by the station.
    if (st == NetStatus::kCancelled) return false;
    return Fail(ctx, st == NetStatus::kTimeout ? server.timeout : server.lost);
}

// Resolves and connects; reports the lookup, socket and connect failures with
// the given status texts.
bool ConnectTo(AppContext& ctx, TcpConnection& conn, const char* setting, const char* service,
               int default_port, const char* not_found, const char* socket_failed,
               const char* connect_failed, int timeout_ms) {
    HostPort hp = notify::SplitHostPort(StripLineBreaks(setting).c_str());
    int port = hp.port > 0 ? hp.port : notify::ServicePort(service, default_port);
    sockaddr_storage addr{};
    socklen_t addr_len = 0;
    if (!notify::ResolveHost(hp.host, port, &addr, &addr_len)) return Fail(ctx, not_found);
    if (!conn.Open(addr.ss_family)) return Fail(ctx, socket_failed);
    NetStatus st = conn.Connect(reinterpret_cast<const sockaddr*>(&addr), addr_len, timeout_ms);
    if (st != NetStatus::kOk) {
        conn.Close();
        return st == NetStatus::kCancelled ? false : Fail(ctx, connect_failed);
    }
    return true;
}

// One SMTP reply, every line of a multi-line one; `last` gets the final line.
NetStatus ReadSmtpReply(TcpConnection& conn, int timeout_ms, std::string* last) {
    for (int i = 0; i < kMaxReplyLines; ++i) {
        NetStatus st = conn.ReadLine(last, timeout_ms);
        if (st != NetStatus::kOk) return st;
        bool continued = last->size() >= 4 && (*last)[3] == '-';
        if (!continued) return NetStatus::kOk;
    }
    return NetStatus::kOk;
}

// Sends `command` (nothing when empty) and reads the reply, which must begin
// with `expect`. A refusal is reported with the server's own reply line and
// ends the dialogue politely.
bool SmtpStep(AppContext& ctx, TcpConnection& conn, const std::string& command, char expect,
              int timeout_ms) {
    if (!command.empty()) {
        NetStatus st = conn.SendAll(command, timeout_ms);
        if (st != NetStatus::kOk) return FailNet(ctx, kSmtp, st);
    }
    std::string reply;
    NetStatus st = ReadSmtpReply(conn, timeout_ms, &reply);
    if (st != NetStatus::kOk) return FailNet(ctx, kSmtp, st);
    if (reply.empty() || reply[0] != expect) {
        ctx.status.Set("-MAIL " + reply);
        if (conn.SendAll(std::string("QUIT\r\n"), timeout_ms) == NetStatus::kOk) {
            ReadSmtpReply(conn, timeout_ms, &reply);
        }
        return false;
    }
    return true;
}

bool PopLogin(AppContext& ctx, int timeout_ms, const std::atomic<bool>* cancel) {
    const Settings& ap = ctx.ap;
    TcpConnection conn;
    conn.SetCancel(cancel);
    if (!ConnectTo(ctx, conn, ap.mail_popserver, "pop3", 110, "-MAIL MM102: pop3 server not found",
                   "-MAIL ME103: socket failed", "-MAIL ME104: connect failed", timeout_ms)) {
        return false;
    }
    std::string line;
    NetStatus st = conn.ReadLine(&line, timeout_ms);
    if (st != NetStatus::kOk) return FailNet(ctx, kPop, st);
    if (line.rfind("+OK", 0) != 0) return Fail(ctx, "-MAIL " + line);

    // The three commands go out in one piece with bare LF line ends, which the
    // POP servers this is used with accept; the replies come back in order.
    std::string commands = "USER " + StripLineBreaks(ap.mail_uname) + "\nPASS " +
                           StripLineBreaks(ap.mail_pw) + "\nQUIT\n";
    st = conn.SendAll(commands, timeout_ms);
    if (st != NetStatus::kOk) return FailNet(ctx, kPop, st);
    for (int i = 0; i < 2; ++i) {  // USER, PASS
        st = conn.ReadLine(&line, timeout_ms);
        if (st != NetStatus::kOk) return FailNet(ctx, kPop, st);
        if (line.rfind("+OK", 0) != 0) return Fail(ctx, "-MAIL " + line);
    }
    conn.ReadLine(&line, timeout_ms);  // QUIT; the login has already counted
    return true;
}

// The body as CR LF lines whatever line ends the setting holds: a bare LF
// must not reach an SMTP server.
std::string BodyLines(const char* body) {
    std::string out;
    for (const char* p = body; *p; ++p) {
        if (*p == '\r') {
            out += "\r\n";
            if (p[1] == '\n') ++p;
        } else if (*p == '\n') {
            out += "\r\n";
        } else {
            out.push_back(*p);
        }
    }
    return out;
}

// Doubles the '.' that begins any line, so that no line of the message can
// end the DATA phase early.
std::string DotStuff(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 16);
    bool line_start = true;
    for (char c : text) {
        if (line_start && c == '.') out.push_back('.');
        out.push_back(c);
        line_start = c == '\n';
    }
    return out;
}

// A file name as a MIME quoted-string parameter value.
std::string QuotedParam(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

bool ReadAttachment(AppContext& ctx, const char* path, std::vector<uint8_t>* data) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path, "rb"), &std::fclose);
    if (!f) return Fail(ctx, "-MAIL MM006: cannot read " + FileNameOf(path));
    data->resize(kMailAttachCap);
    size_t got = std::fread(data->data(), 1, kMailAttachCap, f.get());
    if (std::ferror(f.get())) return Fail(ctx, "-MAIL MM006: cannot read " + FileNameOf(path));
    if (got >= kMailAttachCap) return Fail(ctx, "-MAIL MM007: too large to mail " + FileNameOf(path));
    data->resize(got);
    return true;
}

}  // namespace

std::string ExpandMailSubject(const char* subject, const char* file_name) {
    std::string out;
    if (!subject) return out;
    for (const char* p = subject; *p; ++p) {
        if (*p != '%') {
            out.push_back(*p);
            continue;
        }
        if (p[1] == '\0') break;
        if (p[1] == 'f' && file_name) out += file_name;
        ++p;
    }
    return out;
}

bool SendClipMail(AppContext& ctx, const char* path, bool attach, const MailOptions& options) {
    const Settings& ap = ctx.ap;
    const int timeout_ms = options.timeout_ms;
    const std::string file_name = StripLineBreaks(FileNameOf(path).c_str());

    std::string encoded;
    if (attach) {
        std::vector<uint8_t> data;
        if (!ReadAttachment(ctx, path, &data)) return false;
        encoded.resize(Base64EncodedSize(data.size()));
        encoded.resize(Base64Encode(data.data(), data.size(), encoded.data()));
    }

    if (options.cancel && options.cancel->load()) return false;
    if (ap.mail_popbefore && !PopLogin(ctx, timeout_ms, options.cancel)) return false;

    TcpConnection conn;
    conn.SetCancel(options.cancel);
    if (!ConnectTo(ctx, conn, ap.mail_server, "mail", 25, "-MAIL MM002: smtp server not found",
                   "-MAIL ME003: socket failed", "-MAIL ME003: connect failed", timeout_ms)) {
        return false;
    }

    const std::string helo_name = notify::SplitHostPort(StripLineBreaks(ap.mail_server).c_str()).host;
    const std::string from = StripLineBreaks(ap.mail_from);
    const std::string to = StripLineBreaks(ap.mail_to);
    if (!SmtpStep(ctx, conn, std::string(), '2', timeout_ms) ||
        !SmtpStep(ctx, conn, "HELO " + helo_name + " \r\n", '2', timeout_ms) ||
        !SmtpStep(ctx, conn, "MAIL FROM:<" + from + ">\r\n", '2', timeout_ms) ||
        !SmtpStep(ctx, conn, "RCPT TO:<" + to + ">\r\n", '2', timeout_ms) ||
        !SmtpStep(ctx, conn, "DATA\r\n", '3', timeout_ms)) {
        return false;
    }

    const std::string delimiter = std::string("--") + kMailBoundary + "\r\n";
    std::string msg;
    msg.reserve(encoded.size() + 1024);
    msg += "From: " + from + " \r\n";
    msg += "To: " + to + " \r\n";
    msg += "Subject: " + StripLineBreaks(ExpandMailSubject(ap.mail_subject, file_name.c_str()).c_str()) + " \r\n";
    msg += "MIME-VERSION: 1.0\r\n";
    msg += std::string("Content-Type: multipart/mixed; boundary=\"") + kMailBoundary + "\"\r\n\r\n";
    msg += delimiter;
    msg += "Content-Type: text/plain; charset=us-ascii\r\n";
    msg += "Content-Description: Mail message body\r\n\r\n";
    msg += BodyLines(ap.mail_body) + "\r\n\r\n";
    if (attach) {
        const std::string quoted = QuotedParam(file_name);
        msg += delimiter;
        msg += "Content-Type: image/jpeg; name=\"" + quoted + "\"\r\n";
        msg += "Content-Transfer-Encoding: BASE64\r\n";
        msg += "Content-Disposition: attachment; filename=\"" + quoted + "\"\r\n\r\n";
        msg += encoded;
        msg += "\r\n";
    }
    msg += "\r\n";
    msg += std::string("--") + kMailBoundary + "--\r\n";
    std::string data = DotStuff(msg);
    data += ".\r\n";
    if (!SmtpStep(ctx, conn, data, '2', timeout_ms)) return false;

    std::string reply;
    if (conn.SendAll(std::string("QUIT\r\n"), timeout_ms) == NetStatus::kOk) {
        ReadSmtpReply(conn, timeout_ms, &reply);  // the message is already accepted
    }
    return true;
}

}  // namespace vlx
