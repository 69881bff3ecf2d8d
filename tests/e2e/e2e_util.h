#pragma once
// Helpers for the end-to-end tests: the built runner started as a user starts
// it (through the emulator in a cross build), its output parsed line by line.
#include <arpa/inet.h>
#include <fcntl.h>
#include <json/json.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

// A port on 127.0.0.1 nobody listens on now (TCP, or UDP with `type`).
inline int FreePort(int type = SOCK_STREAM) {
  const int fd = socket(AF_INET, type, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// A command's output and error output, as sh runs it.
inline std::string Shell(const std::string& cmd) {
  std::string out;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

inline bool Has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

// A TCP connection to 127.0.0.1:port whose reads give up after
// `timeout_s`; -1 when refused.
inline int Connect(int port, int timeout_s = 2) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  timeval tv{timeout_s, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

struct RunResult {
  int exit_code = -1;
  std::vector<Json::Value> lines;  // stdout, one JSON value per line
  std::string raw;
};

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/k417t-e2e-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf " + path_).c_str()); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string Write(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
  return path;
}

// `env`: assignments put before the command; `runner`: another build of it.
inline RunResult RunRunner(const std::string& args, const std::string& env = "",
                           const std::string& runner = K417T_RUNNER) {
  RunResult r;
  const std::string emulator = K417T_EMULATOR;
  const std::string cmd = env + (emulator.empty() ? "" : emulator + " ") + runner + " " + args;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  char buf[8192];
  std::string all;
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) all.append(buf, n);
  const int status = pclose(p);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.raw = all;
  std::istringstream in(all);
  std::string line;
  Json::CharReaderBuilder b;
  while (std::getline(in, line)) {
    Json::Value v;
    std::string err;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    if (reader->parse(line.data(), line.data() + line.size(), &v, &err))
      r.lines.push_back(v);
    else
      r.lines.push_back(Json::Value("unparsable: " + line));
  }
  return r;
}

// The runner's command line with `args`: through the emulator in a cross build.
inline std::vector<std::string> RunnerCommand(const std::vector<std::string>& args) {
  std::vector<std::string> argv;
  const std::string emulator = K417T_EMULATOR;
  if (!emulator.empty()) argv.push_back(emulator);
  argv.push_back(K417T_RUNNER);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

// Starts `argv` (a program's path, then its arguments) with its standard
// output and error in the file `out`; its process id.
inline pid_t Spawn(std::vector<std::string> argv, const std::string& out) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

inline pid_t SpawnRunner(const std::vector<std::string>& args, const std::string& out) {
  return Spawn(RunnerCommand(args), out);
}

// Waits up to `seconds` for `pid` to end: its exit code, -1 when a signal
// ended it, -2 when it was still running (it is then killed).
inline int Wait(pid_t pid, int seconds) {
  if (pid <= 0) return -1;
  for (int i = 0; i < seconds * 20; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -2;
}

// Ends `pid` with SIGTERM (SIGKILL after `seconds`): as Wait.
inline int Stop(pid_t pid, int seconds = 10) {
  if (pid <= 0) return -1;
  kill(pid, SIGTERM);
  return Wait(pid, seconds);
}

// Whether `ok` holds within `seconds` (asked every 100 ms).
inline bool WaitFor(const std::function<bool()>& ok, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (ok()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return ok();
}

inline Json::Value ParseText(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string err;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  r->parse(text.data(), text.data() + text.size(), &v, &err);
  return v;
}

inline Json::Value ParseFile(const std::string& path) {
  std::ifstream in(path);
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string err;
  Json::parseFromStream(b, in, &v, &err);
  return v;
}

// A site file whose units match the scenario's AC screens and DC units.
inline std::string SiteFor(const Json::Value& scenario, const std::string& path) {
  Json::Value setting(Json::objectValue);
  setting["address"] = scenario.get("address", 1).asUInt();
  setting["timeout_ms"] = 1500;
  setting["rcSetting"] = Json::Value(Json::objectValue);
  for (Json::ArrayIndex i = 0; i < scenario["ac"].size(); ++i)
    setting["acSetting"][i]["data_id"] = 11 + i;
  for (Json::ArrayIndex i = 0; i < scenario["dc"].size(); ++i)
    setting["dcSetting"][i]["data_id"] = 21 + i;
  Json::Value site(Json::objectValue);
  site["devices"][0]["data_id"] = 100;
  site["devices"][0]["setting"] = setting;
  return Write(path, Json::writeString(Json::StreamWriterBuilder(), site));
}

inline std::vector<Json::Value> Rounds(const RunResult& r) {
  std::vector<Json::Value> out;
  for (const auto& v : r.lines)
    if (v.isObject() && v["kind"] == "round") out.push_back(v);
  return out;
}

inline const Json::Value* Unit(const Json::Value& round, unsigned id, const std::string& type) {
  for (const auto& u : round["units"])
    if (u["data_id"].asUInt() == id && u["type"].asString() == type) return &u;
  return nullptr;
}

inline std::string Example(const std::string& name) {
  return std::string(K417T_EXAMPLES) + "/" + name;
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace e2e
