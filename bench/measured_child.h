// Wall time, cpu time and peak memory of one child process, for the
// benchmarks that run the real executable (Linux only).
//
// The peak resident size of a child counts what it inherits at the fork, so
// the child must come from a process that holds none of the benchmark's
// data: the benchmark starts a fresh copy of itself with --spawn, which forks
// and measures the child with wait4 and prints the figures on one line.
// A benchmark's main calls spawn(argc, argv) when argv[1] is "--spawn".
//
// The children run under a 1 GiB address-space limit, so that a build that
// does not bound its memory fails there instead of taking the machine, and
// are stopped after 300 seconds.
#pragma once

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace bench {

#if defined(__x86_64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#elif defined(__i386__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_I386;
#else
#error "measured_child.h: no seccomp architecture for this machine"
#endif

// Makes the calling process's sleeps fail at once with ENOSYS.
inline bool refuse_sleeping() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clock_nanosleep, 2, 0),
#if defined(__NR_nanosleep)
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_nanosleep, 1, 0),
#else
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clock_nanosleep, 1, 0),
#endif
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

struct Figures {
  double wall = 0;    // seconds
  double cpu = 0;     // user + system seconds
  double peak = 0;    // MiB of resident memory at most
  int status = -1;    // the wait status
};

struct ChildLimits {
  rlim_t file_size = 0;     // RLIMIT_FSIZE, or none when 0
  bool no_sleeping = false; // sleeps refused (see refuse_sleeping)
};

constexpr unsigned kTimeoutSeconds = 300;
inline pid_t g_child = 0;

// The measuring half, run in the fresh copy:
//   <benchmark> --spawn <file size limit> <refuse sleeps: 0 or 1> <output> <directory> <program> [args...]
inline int spawn(int argc, char** argv) {
  if (argc < 7) return 2;
  const rlim_t file_limit = std::stoull(argv[2]);
  const bool no_sleeping = std::string(argv[3]) == "1";
  auto start = std::chrono::steady_clock::now();
  g_child = fork();
  if (g_child == 0) {
    int out = open(argv[4], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || dup2(out, 1) < 0 || chdir(argv[5]) != 0) _exit(126);
    rlimit memory{rlim_t{1} << 30, rlim_t{1} << 30};
    setrlimit(RLIMIT_AS, &memory);
    if (file_limit != 0) {
      rlimit size{file_limit, file_limit};
      setrlimit(RLIMIT_FSIZE, &size);
    }
    if (no_sleeping && !refuse_sleeping()) _exit(125);
    execv(argv[6], argv + 6);
    _exit(127);
  }
  if (g_child < 0) return 1;
  // A run that takes too long is stopped and shown as failed.
  std::signal(SIGALRM, [](int) { kill(g_child, SIGKILL); });
  alarm(kTimeoutSeconds);
  int status = 0;
  rusage usage{};
  if (wait4(g_child, &status, 0, &usage) != g_child) return 1;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  std::printf("%f %f %ld %d\n", wall, cpu, usage.ru_maxrss, status);  // ru_maxrss: KiB on Linux
  return 0;
}

// Runs args[0] (a path) with its output in output_path, in directory cwd,
// under the limits above and those given, and measures it.
inline Figures run_child(const std::vector<std::string>& args, const std::string& cwd, const std::string& output_path,
                         const ChildLimits& limits = {}) {
  // Every word is quoted for the shell that popen starts.
  std::string command = "'";
  command += std::filesystem::read_symlink("/proc/self/exe").string();
  command += "' --spawn " + std::to_string(limits.file_size) + (limits.no_sleeping ? " 1" : " 0");
  for (const std::string* word : {&output_path, &cwd}) command += " '" + *word + "'";
  for (const std::string& a : args) command += " '" + a + "'";
  Figures f;
  std::FILE* result = popen(command.c_str(), "r");
  if (result == nullptr) return f;
  long peak_kib = 0;
  if (std::fscanf(result, "%lf %lf %ld %d", &f.wall, &f.cpu, &peak_kib, &f.status) != 4) f.status = -1;
  pclose(result);
  f.peak = static_cast<double>(peak_kib) / 1024.0;
  return f;
}

// The last line of a file, without its line end: how a run of the tool ended.
inline std::string last_line(const std::string& path) {
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return {};
  std::fseek(in, 0, SEEK_END);
  long size = std::ftell(in);
  std::fseek(in, std::max(0L, size - 256), SEEK_SET);
  char tail[257] = {};
  size_t n = std::fread(tail, 1, 256, in);
  std::fclose(in);
  std::string text(tail, n);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
}

// How a run ended, when not with exit status 0; empty otherwise.
inline std::string failure(int status) {
  if (WIFSIGNALED(status)) return "  (killed by signal " + std::to_string(WTERMSIG(status)) + ")";
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "  (exit status not 0)";
  return {};
}

}  // namespace bench
