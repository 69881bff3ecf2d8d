#include "notify/exec_hook.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>

#include "input/checked_json.h"
#include "view/site_view.h"

namespace qmx::notify {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kOutputKept = 240;
constexpr int kKillGraceMs = 2000;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

struct Finished {
  bool started = false;
  std::string error;  // why it did not start
  int status = 0;     // waitpid's
  bool timed_out = false, killed = false;
  double seconds = 0;
  std::string output;  // the first bytes it wrote
  uint64_t output_bytes = 0;
};

void ReadSome(int fd, Finished& f) {
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return;
    f.output_bytes += static_cast<uint64_t>(n);
    if (f.output.size() < kOutputKept)
      f.output.append(buf, std::min(static_cast<size_t>(n), kOutputKept - f.output.size()));
  }
}

// Runs `path` with `args` and `env` (no shell), its output into a pipe,
// in a process group of its own; killed at `timeout_ms` or when `stop`.
Finished Spawn(const std::string& path, const std::vector<std::string>& args,
               const std::vector<std::string>& env, int64_t timeout_ms,
               const std::atomic<bool>& stop) {
  Finished f;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    f.error = std::string("pipe: ") + strerror(errno);
    return f;
  }
  std::vector<char*> argv, envp;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawnattr_t at;
  posix_spawn_file_actions_init(&fa);
  posix_spawnattr_init(&at);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
  // Sockets, the database and the serial ports stay the service's.
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  // The spawning thread's mask and the service's ignored SIGPIPE are not
  // the hook's.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGCHLD, SIGALRM, SIGQUIT})
    sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&at, &none);
  posix_spawnattr_setsigdefault(&at, &defaults);
  posix_spawnattr_setpgroup(&at, 0);
  posix_spawnattr_setflags(&at,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  const auto t0 = Clock::now();
  const int rc = posix_spawn(&pid, path.c_str(), &fa, &at, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&at);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    f.error = strerror(rc);
    return f;
  }
  f.started = true;
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  int64_t kill_at = -1;  // when SIGKILL follows the SIGTERM
  bool open = true;
  for (;;) {
    if (open) {
      pollfd p{fds[0], POLLIN, 0};
      if (poll(&p, 1, 50) > 0) {
        if (p.revents & POLLIN) ReadSome(fds[0], f);
        if ((p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLIN)) open = false;
      }
    } else {
      usleep(50 * 1000);
    }
    int status = 0;
    const pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid || (w < 0 && errno != EINTR)) {
      f.status = w == pid ? status : 0;
      break;
    }
    const int64_t ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    if (kill_at < 0 && (ms >= timeout_ms || stop.load())) {
      f.timed_out = !stop.load();
      kill(-pid, SIGTERM);
      kill_at = ms + kKillGraceMs;
    } else if (kill_at >= 0 && !f.killed && ms >= kill_at) {
      kill(-pid, SIGKILL);
      f.killed = true;
    }
  }
  // What it wrote just before it ended; a child it left behind may hold
  // the pipe, so no waiting for the end of it.
  ReadSome(fds[0], f);
  close(fds[0]);
  // Whatever it started is ended with it.
  if (kill_at >= 0) kill(-pid, SIGKILL);
  f.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  return f;
}

void Put(std::vector<std::string>& env, const char* name, const std::string& value,
         size_t max = 1024) {
  env.push_back(std::string(name) + "=" + PlainText(value, max));
}

}  // namespace

std::vector<std::string> NoticeEnvironment(const Outgoing& o) {
  const view::AlarmNotice& n = o.notice;
  const Json::Value j = OutgoingJson(o);
  std::vector<std::string> env;
  env.push_back("PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin");
  env.push_back("LC_ALL=C.UTF-8");
  Put(env, "K417T_KIND", n.kind);
  Put(env, "K417T_DEVICE", std::to_string(n.device));
  Put(env, "K417T_DEVICE_NAME", n.device_name);
  Put(env, "K417T_ALARM_ID", n.id());
  Put(env, "K417T_CODE", n.code);
  Put(env, "K417T_NAME", n.name);
  Put(env, "K417T_TEXT", n.text, 4096);
  Put(env, "K417T_NAME_EN", n.name_en);
  Put(env, "K417T_PLACE_EN", n.place_en);
  Put(env, "K417T_SEVERITY", j["severity"].asString());
  Put(env, "K417T_STATE", n.state);
  Put(env, "K417T_TIME", std::to_string(n.time));
  Put(env, "K417T_WHO", n.who);
  Put(env, "K417T_COMMENT", n.comment, 4096);
  if (o.notice.kind == "digest") Put(env, "K417T_COUNT", std::to_string(o.folded));
  // ASCII JSON: every control character and non-ASCII byte escaped.
  Put(env, "K417T_JSON", json::CompactAscii(j), 65536);
  return env;
}

ExecHook::ExecHook(ExecConfig cfg, Log log) : cfg_(std::move(cfg)), log_(std::move(log)) {
  if (!log_) log_ = [](const std::string&) {};
}

ExecHook::~ExecHook() { Stop(); }

void ExecHook::Start() {
  if (started_) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = false;
  }
  stopping_ = false;
  thread_ = std::thread(&ExecHook::Run, this);
  started_ = true;
  std::string kinds;
  for (const std::string& k : cfg_.rules.kinds) kinds += (kinds.empty() ? "" : ",") + k;
  log_(fmt::format("notify: exec hook {} for {}; time-out {} s, delay {} s, at most {} a minute",
                   view::SafeText(cfg_.command), kinds, cfg_.timeout_s, cfg_.rules.delay_s,
                   cfg_.rules.max_per_minute));
}

void ExecHook::Stop() {
  if (!started_) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  stopping_ = true;
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  started_ = false;
}

void ExecHook::Offer(const view::AlarmNotice& n) {
  if (!cfg_.rules.kinds.count(n.kind)) return;
  bool told = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (queue_.size() >= cfg_.queue) {
      ++overflow_pending_;
      told = overflow_pending_ == 1;
    } else {
      queue_.push_back(n);
    }
  }
  if (told)
    log_(
        fmt::format("notify: exec hook queue full ({} notices waiting); further notices are "
                    "counted in the next digest",
                    cfg_.queue));
  cv_.notify_all();
}

ExecHook::Counts ExecHook::counts() const {
  std::lock_guard<std::mutex> lock(counts_mu_);
  return counts_;
}

void ExecHook::Run() {
  NoticeGate gate(cfg_.rules.delay_s, cfg_.rules.max_per_minute);
  for (;;) {
    std::deque<view::AlarmNotice> in;
    uint64_t overflow = 0;
    {
      std::unique_lock<std::mutex> lock(mu_);
      const int64_t due = gate.NextDue();
      auto ready = [this] { return stop_ || !queue_.empty() || overflow_pending_ > 0; };
      if (due == INT64_MAX) {
        cv_.wait(lock, ready);
      } else {
        const int64_t wait = std::max<int64_t>(0, due - NowMs());
        cv_.wait_for(lock, std::chrono::milliseconds(wait), ready);
      }
      if (stop_) break;
      in.swap(queue_);
      overflow = overflow_pending_;
      overflow_pending_ = 0;
    }
    std::vector<Outgoing> out;
    const int64_t now = NowMs();
    if (overflow > 0) {
      gate.Fold(overflow, fmt::format("{} turned away by a full queue", overflow), now);
      std::lock_guard<std::mutex> lock(counts_mu_);
      counts_.overflow += overflow;
    }
    for (const view::AlarmNotice& n : in) gate.Offer(n, now, out);
    gate.Tick(now, out);
    {
      std::lock_guard<std::mutex> lock(counts_mu_);
      counts_.cancelled = gate.cancelled();
    }
    for (const Outgoing& o : out) {
      if (stopping_) break;
      Execute(o);
    }
  }
  size_t left = gate.held();
  {
    std::lock_guard<std::mutex> lock(mu_);
    left += queue_.size();
    queue_.clear();
  }
  if (left > 0)
    log_(fmt::format("notify: exec hook stopped with {} notice{} not sent (delayed or queued)",
                     left, left == 1 ? "" : "s"));
}

void ExecHook::Execute(const Outgoing& o) {
  const std::vector<std::string> args = {cfg_.command, NoticeLine(o)};
  const Finished f = Spawn(cfg_.command, args, NoticeEnvironment(o),
                           static_cast<int64_t>(cfg_.timeout_s * 1000), stopping_);
  const std::string what = o.notice.kind +
                           (o.notice.key.empty() ? "" : " " + view::SafeText(o.notice.id())) +
                           fmt::format(" of device {}", o.notice.device);
  std::string line = "notify: exec " + view::SafeText(cfg_.command) + " for " + what + ": ";
  bool ok = false;
  if (!f.started) {
    line += "could not start: " + view::SafeText(f.error);
  } else if (f.timed_out) {
    line += fmt::format("still running after its time-out of {} s; ended with {}", cfg_.timeout_s,
                        f.killed ? "SIGKILL" : "SIGTERM");
  } else if (WIFEXITED(f.status)) {
    ok = WEXITSTATUS(f.status) == 0;
    line += fmt::format("exit status {} after {:.2f} s", WEXITSTATUS(f.status), f.seconds);
  } else if (WIFSIGNALED(f.status)) {
    line += fmt::format("ended by signal {} ({}) after {:.2f} s", WTERMSIG(f.status),
                        strsignal(WTERMSIG(f.status)), f.seconds);
  } else {
    line += "ended";
  }
  if (f.output_bytes > 0) {
    line += "; output: \"" + view::SafeText(f.output) + "\"";
    if (f.output_bytes > f.output.size()) line += fmt::format(" ({} bytes in all)", f.output_bytes);
  }
  log_(line);
  std::lock_guard<std::mutex> lock(counts_mu_);
  if (f.started) ++counts_.runs;
  if (ok)
    ++counts_.succeeded;
  else
    ++counts_.failed;
  if (f.timed_out) ++counts_.timed_out;
  if (o.notice.kind == "digest") ++counts_.digests;
}

}  // namespace qmx::notify
