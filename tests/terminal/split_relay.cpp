// Runs a program on a pseudo-terminal of its own and relays between it and this terminal, as a
// slow link would: every byte typed here goes on to the program, except Ctrl-], which instead
// sends an Up key cut in two, Esc and then "[A" GAP milliseconds later. The gap actually kept
// between the two writes is appended to REPORT, one number of milliseconds a line.
//
//   split_relay GAP REPORT PROGRAM [ARGUMENT...]
//
// Exits with the program's exit status; gives this terminal its modes back.

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>

namespace {

constexpr char kTrigger = 0x1D;  // Ctrl-]

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// Esc, the gap, then the rest of the Up key; returns the gap kept, in milliseconds: from
// before the Esc was written to after its rest was, so never less than the real gap.
double SendSplitUp(int master, int gapMilliseconds) {
  using Clock = std::chrono::steady_clock;
  const auto escapeSent = Clock::now();
  WriteAll(master, "\x1b");
  std::this_thread::sleep_until(escapeSent + std::chrono::milliseconds(gapMilliseconds));
  WriteAll(master, "[A");
  return std::chrono::duration<double, std::milli>(Clock::now() - escapeSent).count();
}

[[noreturn]] void RunChild(const char* slaveName, char** argv) {
  setsid();
  const int slave = open(slaveName, O_RDWR);
  if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) {
    std::perror("split_relay: terminal");
    _exit(127);
  }
  dup2(slave, STDIN_FILENO);
  dup2(slave, STDOUT_FILENO);
  dup2(slave, STDERR_FILENO);
  if (slave > STDERR_FILENO) {
    close(slave);
  }
  execvp(argv[0], argv);
  std::perror("split_relay: exec");
  _exit(127);
}

// Relays until the program's side of the terminal closes.
void Relay(int master, int gapMilliseconds, const char* report) {
  std::array<char, 4096> buffer;
  for (;;) {
    std::array<pollfd, 2> sources{{{STDIN_FILENO, POLLIN, 0}, {master, POLLIN, 0}}};
    if (poll(sources.data(), sources.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (sources[1].revents != 0) {
      const ssize_t count = read(master, buffer.data(), buffer.size());
      if (count <= 0) {
        return;  // EIO once the program has gone
      }
      WriteAll(STDOUT_FILENO, {buffer.data(), static_cast<std::size_t>(count)});
    }
    if ((sources[0].revents & POLLIN) != 0) {
      const ssize_t count = read(STDIN_FILENO, buffer.data(), buffer.size());
      if (count <= 0) {
        return;
      }
      for (const char byte : std::string_view(buffer.data(), static_cast<std::size_t>(count))) {
        if (byte != kTrigger) {
          WriteAll(master, std::string_view(&byte, 1));
          continue;
        }
        const double gap = SendSplitUp(master, gapMilliseconds);
        if (std::FILE* out = std::fopen(report, "a")) {
          std::fprintf(out, "%.1f\n", gap);
          std::fclose(out);
        }
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: split_relay GAP REPORT PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  const int gap = std::atoi(argv[1]);
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("split_relay: pseudo-terminal");
    return 1;
  }
  winsize size{};
  if (ioctl(STDIN_FILENO, TIOCGWINSZ, &size) == 0) {
    ioctl(master, TIOCSWINSZ, &size);
  }
  termios saved{};
  const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
  const char* slaveName = ptsname(master);
  const pid_t child = fork();
  if (child == 0) {
    RunChild(slaveName, argv + 3);
  }
  if (terminal) {
    termios raw = saved;
    cfmakeraw(&raw);
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  }
  Relay(master, gap, argv[2]);
  int status = 0;
  waitpid(child, &status, 0);
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
