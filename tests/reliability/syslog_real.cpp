// The library's messages through the real syslog(3), received at /dev/log
// inside a private mount namespace. No in-process capture here.
#include <errno.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chronels.h>

#include <fstream>

namespace {

// "[src/chronels_ru.cpp:N] " of the first logging statement with format
// `body` after the line containing `anchor`.
std::string where(const std::string &anchor, std::string body) {
    for (size_t p; (p = body.find('\n')) != std::string::npos;)
        body.replace(p, 1, "\\n");
    std::ifstream src(CHRONELS_SOURCE);
    std::string line;
    bool seen = false;
    for (int n = 1; std::getline(src, line); n++) {
        seen = seen || line.find(anchor) != std::string::npos;
        if (seen && line.find("LOG(\"" + body + "\"") != std::string::npos)
            return "[src/chronels_ru.cpp:" + std::to_string(n) + "] ";
    }
    return "no such statement";
}

void none(void *) {}

// Runs in a child forked before any thread exists; 77: no namespace here.
int receive_in_private_namespace() {
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("chronels", "/dev", "tmpfs", 0, "size=64k") != 0)
        return 77;
    int s = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, "/dev/log");
    timeval wait = {10, 0};
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0)
        return 77;

    EXPECT_EQ(0, chronel_init_default());
    chronel h = {};
    EXPECT_EQ(-1, chronel_delete(&h));
    rlimit old, zero;
    getrlimit(RLIMIT_SIGPENDING, &old);
    zero = old;
    zero.rlim_cur = 0;
    setrlimit(RLIMIT_SIGPENDING, &zero); // no signal slot: both creates are refused
    EXPECT_EQ(-1, chronel_create(&h, none, nullptr));
    EXPECT_EQ(-1, chronel_create_cs(&h, none, nullptr));
    setrlimit(RLIMIT_SIGPENDING, &old);
    union sigval null_value = {};
    EXPECT_EQ(0, sigqueue(getpid(), SIGRTMIN + 1, null_value)); // logged by the timer thread

    const std::string again = strerror(EAGAIN);
    const std::string want[] = {
        where("CHRONEL_EXPORT int chronel_delete(", "Invalid chronel\n") + "Invalid chronel\n",
        where("static int send_request(", "Sigqueue error %s\n") + "Sigqueue error " + again + "\n",
        where("static int __chronel_create(", "timer_create fail: %m\n") + "timer_create fail: " + again + "\n",
        where("static void *chronel_thread_loop(void *) {", "Got signal %d without any sival_ptr\n") + "Got signal " +
            std::to_string(SIGRTMIN + 1) + " without any sival_ptr\n",
    };
    // Facility LOG_USER (8) with LOG_CRIT (2), a timestamp, the program name.
    const std::string tag = std::string(" ") + program_invocation_short_name + ": ";
    for (const std::string &text : want) {
        char buf[2048];
        ssize_t n = recv(s, buf, sizeof buf - 1, 0);
        EXPECT_GT(n, 0) << "nothing arrived for " << text << ": " << strerror(errno);
        std::string got(buf, n > 0 ? static_cast<size_t>(n) : 0);
        EXPECT_EQ(0u, got.rfind("<10>", 0)) << got;
        size_t at = got.find(tag);
        EXPECT_EQ(4u + 15u, at) << got; // "Mmm dd hh:mm:ss"
        EXPECT_EQ(text, got.substr(at == std::string::npos ? 0 : at + tag.size()));
    }
    usleep(100 * 1000);
    char extra[256];
    EXPECT_EQ(-1, recv(s, extra, sizeof extra, MSG_DONTWAIT)) << "an unexpected message";
    return ::testing::Test::HasFailure() ? 1 : 0;
}

} // namespace

TEST(RealSyslog, MessagesArriveAtDevLogAsCriticalWithTheirExactText) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make a private mount namespace";
    fflush(stdout);
    pid_t child = fork(); // before any thread: the child may unshare and mount
    if (child == 0)
        _exit(receive_in_private_namespace());
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no private mount namespace with a tmpfs on /dev here";
    EXPECT_EQ(0, WEXITSTATUS(status));
}
