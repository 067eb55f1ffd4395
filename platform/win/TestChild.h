// Test support for what crosses processes: a child started with exec (never
// a bare fork, which would share memory a real peer does not), spoken to
// line by line over pipes on its standard input and output. Every wait is
// bounded, so a child that hangs fails its test instead of hanging ctest.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace vantrel::win {

inline constexpr std::chrono::milliseconds kChildBound{10000};

// A private runtime folder for the whole test program, set before the
// platform first asks for it; children inherit it, so the test's windows
// and hooks reach no other process of the user.
inline void UsePrivateWinDir(const char* prefix) {
  static bool done = [prefix] {
    const char* scratch = std::getenv("VANTREL_TEST_TMPDIR");
    std::string dir = std::string(scratch && *scratch ? scratch : "/tmp") + "/" + prefix + "-" +
                      std::to_string(getpid());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    chmod(dir.c_str(), 0700);
    setenv("ZEL_WIN_DIR", dir.c_str(), 1);
    signal(SIGPIPE, SIG_IGN);  // a killed child's pipe
    return true;
  }();
  (void)done;
}

class TestChild {
 public:
  // How the child is ended when the test lets go of it: children that read
  // commands end when their input closes; others are killed.
  enum class Ending { kCloseInput, kKill };

  // argv[0] is the program's path.
  explicit TestChild(std::vector<std::string> argv, Ending ending = Ending::kCloseInput)
      : ending_(ending) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ~TestChild() {
    if (pid_ > 0 && ending_ == Ending::kKill) kill(pid_, SIGKILL);
    if (to_ >= 0) close(to_);
    if (pid_ > 0) Wait();
    if (from_ >= 0) close(from_);
  }
  TestChild(const TestChild&) = delete;
  TestChild& operator=(const TestChild&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }

  // The next line of output; "" when none came within the bound or the
  // output ended.
  std::string Line(std::chrono::milliseconds bound = 2 * kChildBound) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
      if (auto nl = buffered_.find('\n'); nl != std::string::npos) {
        std::string line = buffered_.substr(0, nl);
        buffered_.erase(0, nl + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{from_, POLLIN, 0};
      if (from_ < 0 || left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
      char chunk[256];
      ssize_t n = read(from_, chunk, sizeof chunk);
      if (n <= 0) return {};
      buffered_.append(chunk, static_cast<size_t>(n));
    }
  }

  bool WriteLine(const std::string& line) {
    std::string s = line + "\n";
    return to_ >= 0 && write(to_, s.data(), s.size()) == static_cast<ssize_t>(s.size());
  }

  // Writes a command and returns the line that answers it.
  std::string Ask(const std::string& line) {
    WriteLine(line);
    return Line();
  }

  // Waits for the child's end, killing it after the bound; its wait status.
  int Wait() {
    int status = 0;
    if (pid_ <= 0) return status;
    auto deadline = std::chrono::steady_clock::now() + kChildBound;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) kill(pid_, SIGKILL);
      usleep(1000);
    }
    pid_ = -1;
    return status;
  }

  void Kill() {
    if (pid_ > 0) kill(pid_, SIGKILL);
    Wait();
  }

 private:
  Ending ending_;
  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
  std::string buffered_;
};

}  // namespace vantrel::win
