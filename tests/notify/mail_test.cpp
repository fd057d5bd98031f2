// Mail notification against a real aiosmtpd server on loopback; the received
// messages are read back with Python's email package.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "capture_reporter.h"
#include "servers.h"
#include "test_support.h"
#include "vlx/notify/mail.h"

namespace vlx {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::ReadFileText;

void Put(char* dst, const std::string& s) { std::snprintf(dst, kPathCap, "%s", s.c_str()); }

std::string Encode(const std::vector<uint8_t>& data) {
    std::string out(Base64EncodedSize(data.size()), '\0');
    out.resize(Base64Encode(data.data(), data.size(), out.data()));
    return out;
}

TEST(Base64, BreaksAfterEveryNineteenthGroupOnly) {
    auto bytes = [](size_t n) {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 37 + 11);
        return v;
    };
    const std::string line =
        "CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYar0PUaP2SJrtP4HUJnjLHW+yBFao+02f4j";
    EXPECT_EQ(Encode(bytes(6)), "CzBVep/E");
    EXPECT_EQ(Encode(bytes(57)), line + "\r\n");
    EXPECT_EQ(Encode(bytes(58)), line + "\r\nSA==");
    EXPECT_EQ(Encode(bytes(60)), line + "\r\nSG2S");
    EXPECT_EQ(Encode(bytes(1)), "Cw==");
    for (size_t n : {0, 1, 2, 3, 56, 57, 58, 59, 114, 115, 1000}) {
        EXPECT_EQ(Encode(bytes(n)).size(), Base64EncodedSize(n)) << n;
    }
    char out[8];
    EXPECT_EQ(Base64Encode(nullptr, 3, out), 0u);
    EXPECT_EQ(Base64Encode(bytes(3).data(), 3, nullptr), 0u);
}

// A POP3 server for one session: greets, answers each line it gets, keeps
// every byte received.
class PopResponder {
public:
    explicit PopResponder(bool accept_password) : accept_(accept_password) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(fd_, reinterpret_cast<sockaddr*>(&a), len);
        listen(fd_, 1);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~PopResponder() {
        thread_.join();
        close(fd_);
    }
    int port() const { return port_; }
    std::string Received() {
        thread_.join();
        thread_ = std::thread([] {});
        return received_;
    }

private:
    void Serve() {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) return;
        int c = accept(fd_, nullptr, nullptr);
        Send(c, "+OK test pop3 ready\r\n");
        std::string pending;
        for (;;) {
            pollfd q{c, POLLIN, 0};
            if (poll(&q, 1, 10000) != 1) break;
            char buf[512];
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            received_.append(buf, static_cast<size_t>(n));
            pending.append(buf, static_cast<size_t>(n));
            size_t nl;
            bool quit = false;
            while ((nl = pending.find('\n')) != std::string::npos) {
                std::string cmd = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (cmd.rfind("PASS", 0) == 0) {
                    Send(c, accept_ ? "+OK logged in\r\n" : "-ERR invalid password\r\n");
                } else if (cmd.rfind("QUIT", 0) == 0) {
                    Send(c, "+OK bye\r\n");
                    quit = true;
                } else {
                    Send(c, "+OK\r\n");
                }
            }
            if (quit) break;
        }
        close(c);
    }
    static void Send(int c, const std::string& s) { send(c, s.data(), s.size(), MSG_NOSIGNAL); }

    bool accept_;
    int fd_ = -1;
    int port_ = 0;
    std::string received_;
    std::thread thread_;
};

// One received message, read back by Python's email package.
struct Parsed {
    std::string raw, envelope, headers, body, defects, attach_name, attach_type;
    std::vector<uint8_t> attach;
    int parts = 0;
};

class MailTest : public ::testing::Test {
protected:
    MailTest() : server_("smtp_server.py", tmp_ / "smtp.port", {inbox_.string()}) {
        Put(ctx_.ap.mail_server, "127.0.0.1:" + std::to_string(server_.port()));
        Put(ctx_.ap.mail_from, "station@example.org");
        Put(ctx_.ap.mail_to, "observer@example.org");
        Put(ctx_.ap.mail_subject, "Meteor %f at %x station%");
        Put(ctx_.ap.mail_body, "A clip was recorded.");
        ctx_.ap.mail_on = 1;
    }

    std::string Still(size_t size, const std::string& name = "M20261207_031500_S.jpg") {
        std::mt19937 rng(static_cast<unsigned>(size));
        std::vector<uint8_t> v(size);
        for (auto& b : v) b = static_cast<uint8_t>(rng());
        std::string path = (tmp_.path() / name).string();
        test::WriteFileBytes(path, v.data(), v.size());
        return path;
    }

    int Received() {
        int n = 0;
        for (const auto& e : fs::directory_iterator(inbox_)) n += e.path().extension() == ".eml";
        return n;
    }

    Parsed Read(int number) {
        char stem[8];
        std::snprintf(stem, sizeof stem, "%03d", number);
        fs::path out = tmp_.path() / (std::string("parsed") + stem);
        fs::create_directories(out);
        const std::string eml = (inbox_ / (std::string(stem) + ".eml")).string();
        EXPECT_EQ(test::RunPython({test::TestScript("parse_mail.py"), eml, out.string()}), 0);
        Parsed p;
        p.raw = ReadFileText(eml);
        p.envelope = ReadFileText((inbox_ / (std::string(stem) + ".env")).string());
        p.headers = ReadFileText((out / "headers.txt").string());
        p.body = ReadFileText((out / "body.txt").string());
        p.defects = ReadFileText((out / "defects.txt").string());
        p.parts = std::stoi(ReadFileText((out / "parts.txt").string()));
        if (fs::exists(out / "attach.bin")) {
            p.attach = ReadFileBytes((out / "attach.bin").string());
            p.attach_name = ReadFileText((out / "attach_name.txt").string());
            p.attach_type = ReadFileText((out / "attach_type.txt").string());
        }
        return p;
    }

    bool Send(const std::string& path, bool attach) {
        return SendClipMail(ctx_, path.c_str(), attach, options_);
    }

    test::CaptureReporter reporter_;
    test::TempDir tmp_;
    fs::path inbox_ = (fs::create_directories(tmp_.path() / "inbox"), tmp_.path() / "inbox");
    test::PythonServer server_;
    AppContext ctx_;
    MailOptions options_{5000};
};

TEST_F(MailTest, AttachmentArrivesIntactForEveryLineBreakCase) {
    const size_t sizes[] = {6, 57, 58, 60, 1140, 150001};
    int number = 0;
    for (size_t size : sizes) {
        const std::string path = Still(size);
        ASSERT_TRUE(Send(path, true)) << ctx_.status.Get();
        Parsed p = Read(++number);
        EXPECT_EQ(p.attach, ReadFileBytes(path)) << size;
        EXPECT_EQ(p.defects, "") << size;  // a strict reader finds nothing wrong
        EXPECT_EQ(p.attach_name, "M20261207_031500_S.jpg");
        EXPECT_EQ(p.attach_type, "image/jpeg");
        EXPECT_EQ(p.parts, 2);
    }
    Parsed p = Read(1);
    EXPECT_EQ(p.envelope, "127.0.0.1\nstation@example.org\nobserver@example.org\n");
    EXPECT_EQ(p.raw.rfind("From: station@example.org \r\nTo: observer@example.org \r\n"
                          "Subject: Meteor M20261207_031500_S.jpg at  station \r\nMIME-VERSION: 1.0\r\n"
                          "Content-Type: multipart/mixed; boundary=\"--=_PART_MK000_0001XXVXQRN\"\r\n\r\n"
                          "----=_PART_MK000_0001XXVXQRN\r\n",
                          0),
              0u)
        << p.raw.substr(0, 400);
    EXPECT_NE(p.raw.find("\r\n\r\n----=_PART_MK000_0001XXVXQRN--\r\n"), std::string::npos);
    EXPECT_NE(p.headers.find("Subject: Meteor M20261207_031500_S.jpg at  station"), std::string::npos)
        << p.headers;
    EXPECT_EQ(p.body, "A clip was recorded.\n");
    EXPECT_EQ(ctx_.status.Get(), "");
    EXPECT_TRUE(reporter_.errors().empty());
}

TEST_F(MailTest, ClipMailWithoutAttachmentNamesTheClip) {
    ASSERT_TRUE(Send("/data/2026/12/07/M20261207_031500_.avi", false)) << ctx_.status.Get();
    Parsed p = Read(1);
    EXPECT_NE(p.headers.find("Subject: Meteor M20261207_031500_.avi at  station"), std::string::npos)
        << p.headers;
    EXPECT_EQ(p.parts, 1);
    EXPECT_TRUE(p.attach.empty());
    EXPECT_EQ(p.body, "A clip was recorded.\n\n");
}

TEST_F(MailTest, BodyLinesBeginningWithADotSurvive) {
    Put(ctx_.ap.mail_body, "first\n.hidden\n.\nlast\r\n..two");
    const std::string path = Still(5000);
    ASSERT_TRUE(Send(path, true)) << ctx_.status.Get();
    Parsed p = Read(1);
    EXPECT_EQ(p.body, "first\n.hidden\n.\nlast\n..two\n");
    EXPECT_EQ(p.attach, ReadFileBytes(path));  // the lone "." did not end the message
}

TEST_F(MailTest, LineBreaksInSettingsCannotInjectHeadersOrCommands) {
    Put(ctx_.ap.mail_subject, "Hi\r\nBcc: victim@example.net\r\n\r\nfake body");
    Put(ctx_.ap.mail_from, "station@example.org\r\n");
    ASSERT_TRUE(Send(Still(100), true)) << ctx_.status.Get();
    Parsed p = Read(1);
    EXPECT_EQ(p.headers.rfind("Bcc", 0), std::string::npos);
    EXPECT_EQ(p.headers.find("\nBcc"), std::string::npos);
    EXPECT_NE(p.headers.find("Subject: HiBcc: victim@example.net"), std::string::npos) << p.headers;
    EXPECT_EQ(p.envelope, "127.0.0.1\nstation@example.org\nobserver@example.org\n");
    EXPECT_EQ(p.defects, "");

    // The same through POP before SMTP: the user name cannot add a command.
    PopResponder pop(true);
    ctx_.ap.mail_popbefore = 1;
    Put(ctx_.ap.mail_popserver, "127.0.0.1:" + std::to_string(pop.port()));
    Put(ctx_.ap.mail_uname, "obs\r\nDELE 1");
    Put(ctx_.ap.mail_pw, "pw");
    ASSERT_TRUE(Send(Still(100), true)) << ctx_.status.Get();
    EXPECT_EQ(pop.Received(), "USER obsDELE 1\nPASS pw\nQUIT\n");
}

TEST_F(MailTest, PopBeforeSmtp) {
    ctx_.ap.mail_popbefore = 1;
    Put(ctx_.ap.mail_uname, "obs");
    Put(ctx_.ap.mail_pw, "s3cret");
    {
        PopResponder pop(true);
        Put(ctx_.ap.mail_popserver, "127.0.0.1:" + std::to_string(pop.port()));
        ASSERT_TRUE(Send(Still(100), true)) << ctx_.status.Get();
        EXPECT_EQ(pop.Received(), "USER obs\nPASS s3cret\nQUIT\n");
        EXPECT_EQ(Received(), 1);
    }
    {
        PopResponder pop(false);
        Put(ctx_.ap.mail_popserver, "127.0.0.1:" + std::to_string(pop.port()));
        EXPECT_FALSE(Send(Still(100), true));
        EXPECT_EQ(ctx_.status.Get(), "-MAIL -ERR invalid password");
        EXPECT_EQ(Received(), 1);
    }
    Put(ctx_.ap.mail_popserver, "pop.invalid");
    EXPECT_FALSE(Send(Still(100), true));
    EXPECT_EQ(ctx_.status.Get(), "-MAIL MM102: pop3 server not found");
    EXPECT_EQ(Received(), 1);
}

TEST_F(MailTest, RefusedRecipientIsReportedWithTheServerReply) {
    Put(ctx_.ap.mail_to, "reject@example.org");
    EXPECT_FALSE(Send(Still(100), true));
    EXPECT_EQ(ctx_.status.Get(), "-MAIL 550 5.1.1 No such user here");
    EXPECT_EQ(Received(), 0);
    // The server is still in good order for the next mail.
    Put(ctx_.ap.mail_to, "observer@example.org");
    ctx_.status.Clear();
    EXPECT_TRUE(Send(Still(100), true)) << ctx_.status.Get();
    EXPECT_EQ(Received(), 1);
}

TEST_F(MailTest, UnreadableOrOversizedAttachmentIsReportedAndNotMailed) {
    EXPECT_FALSE(Send((tmp_.path() / "missing_S.jpg").string(), true));
    EXPECT_EQ(ctx_.status.Get(), "-MAIL MM006: cannot read missing_S.jpg");
    EXPECT_FALSE(Send(Still(kMailAttachCap, "big_S.jpg"), true));
    EXPECT_EQ(ctx_.status.Get(), "-MAIL MM007: too large to mail big_S.jpg");
    EXPECT_EQ(Received(), 0);
    // One byte less still goes.
    const std::string path = Still(kMailAttachCap - 1, "largest_S.jpg");
    ASSERT_TRUE(Send(path, true)) << ctx_.status.Get();
    EXPECT_EQ(Read(1).attach, ReadFileBytes(path));
}

TEST(MailServers, SilentOrMissingServersGiveAStatusNotAHang) {
    test::TempDir tmp;
    test::SilentListener silent;
    AppContext ctx;
    const MailOptions quick{500};
    const std::string silent_host = "127.0.0.1:" + std::to_string(silent.port());
    Put(ctx.ap.mail_from, "a@example.org");
    Put(ctx.ap.mail_to, "b@example.org");

    Put(ctx.ap.mail_server, silent_host);
    EXPECT_FALSE(SendClipMail(ctx, "M_.avi", false, quick));
    EXPECT_EQ(ctx.status.Get(), "-MAIL ME004: smtp server did not answer");

    ctx.ap.mail_popbefore = 1;
    Put(ctx.ap.mail_popserver, silent_host);
    EXPECT_FALSE(SendClipMail(ctx, "M_.avi", false, quick));
    EXPECT_EQ(ctx.status.Get(), "-MAIL ME105: pop3 server did not answer");

    Put(ctx.ap.mail_popserver, "127.0.0.1:" + std::to_string(test::ClosedPort()));
    EXPECT_FALSE(SendClipMail(ctx, "M_.avi", false, quick));
    EXPECT_EQ(ctx.status.Get(), "-MAIL ME104: connect failed");

    ctx.ap.mail_popbefore = 0;
    Put(ctx.ap.mail_server, "127.0.0.1:" + std::to_string(test::ClosedPort()));
    EXPECT_FALSE(SendClipMail(ctx, "M_.avi", false, quick));
    EXPECT_EQ(ctx.status.Get(), "-MAIL ME003: connect failed");

    Put(ctx.ap.mail_server, "smtp.invalid");
    EXPECT_FALSE(SendClipMail(ctx, "M_.avi", false, quick));
    EXPECT_EQ(ctx.status.Get(), "-MAIL MM002: smtp server not found");
}

}  // namespace
}  // namespace vlx
