#include "vlx/app/report.h"

#include <string>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "capture_reporter.h"
#include "vlx/app/status.h"

namespace vlx {
namespace {

// Runs fn in a child process and returns (exit status, standard error).
template <typename Fn>
std::pair<int, std::string> RunChild(Fn fn) {
    int err[2];
    EXPECT_EQ(pipe(err), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(err[1], 2);
        close(err[0]);
        fn();
        _exit(0);
    }
    close(err[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(err[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

TEST(Reporters, WithoutAWindowErrorsGoToStandardErrorAndFatalEndsWithMinusNine) {
    auto [code, text] = RunChild([] { ErrorBox("UM071: Cannot read %s Default value used", "x.vxi"); });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(text, "UM071: Cannot read x.vxi Default value used\n");

    auto [fcode, ftext] = RunChild([] {
        FatalBox("Cannot Create Date Dir %s", "/nope/2007");
        std::fputs("not reached", stderr);
    });
    EXPECT_EQ(fcode, 247);  // -9
    EXPECT_EQ(ftext, "Cannot Create Date Dir /nope/2007\n");
}

TEST(Reporters, TextsAreCutAt1023Characters) {
    test::CaptureReporter rep;
    std::string longtext(3000, 'a');
    ErrorBox("%s", longtext.c_str());
    ASSERT_EQ(rep.errors().size(), 1u);
    EXPECT_EQ(rep.errors()[0].size(), 1023u);
    EXPECT_THROW(FatalBox("fatal %d", 3), test::FatalError);
    EXPECT_EQ(rep.fatals()[0], "fatal 3");
}

TEST(StatusMessageTest, NotifiesEveryChangeAndCuts) {
    StatusMessage s;
    std::string seen;
    int calls = 0;
    s.OnChange([&](const std::string& t) {
        seen = t;
        ++calls;
    });
    s.Set("-FTP:dir error");
    EXPECT_EQ(s.Get(), "-FTP:dir error");
    EXPECT_EQ(seen, "-FTP:dir error");
    s.Set(std::string(2000, 'x'));
    EXPECT_EQ(s.Get().size(), 1023u);
    s.Clear();
    EXPECT_EQ(s.Get(), "");
    EXPECT_EQ(calls, 3);
}

}  // namespace
}  // namespace vlx
