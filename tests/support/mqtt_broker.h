#pragma once

// A mosquitto broker of the test's own on a free 127.0.0.1 port, and an
// observer client that records every message. A missing mosquitto binary
// fails the test: CI installs it (scripts/install-deps.sh).
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace k417t_test {

inline int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

inline bool PortOpen(int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

inline std::string MosquittoBinary() {
  for (const char* p : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto", "/usr/local/sbin/mosquitto"})
    if (access(p, X_OK) == 0) return p;
  return {};
}

class Broker {
 public:
  explicit Broker(const std::string& dir) : dir_(dir), port_(FreePort()) {}
  ~Broker() { Kill(); }
  // False when mosquitto is missing or does not listen within 5 s.
  bool Start() {
    const std::string bin = MosquittoBinary();
    if (bin.empty()) return false;
    const std::string conf = dir_ + "/mosquitto.conf";
    std::ofstream(conf) << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                        << tls_;
    pid_ = fork();
    if (pid_ == 0) {
      const std::string log = dir_ + "/mosquitto.log";
      freopen(log.c_str(), "a", stdout);
      freopen(log.c_str(), "a", stderr);
      execl(bin.c_str(), bin.c_str(), "-c", conf.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 100; ++i) {
      if (PortOpen(port_)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  void Kill() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  int port() const { return port_; }
  // A second listener, TLS with this certificate authority and server
  // certificate and key (before Start()); returns its port.
  // With `client_certificate` a client must show a certificate the authority signed.
  int AddTlsListener(const std::string& ca, const std::string& cert, const std::string& key,
                     bool client_certificate = false) {
    const int port = FreePort();
    // Run by root, mosquitto reads the key after dropping to its own user,
    // which cannot enter the test's folder: it stays who started it.
    tls_ = "user root\nlistener " + std::to_string(port) + " 127.0.0.1\ncafile " + ca + "\ncertfile " + cert +
           "\nkeyfile " + key + "\n" + (client_certificate ? "require_certificate true\n" : "");
    return port;
  }
  std::string log() const {
    std::ifstream in(dir_ + "/mosquitto.log");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }

 private:
  std::string dir_;
  int port_;
  std::string tls_;
  pid_t pid_ = -1;
};

struct Message {
  std::string topic, payload;
  bool retain = false;
};

// Subscribes to everything (again after every reconnect) and records it.
class Observer {
 public:
  explicit Observer(int port) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(nullptr, true, this);
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void*, int rc) {
      if (rc == 0) mosquitto_subscribe(m, nullptr, "#", 1);
    });
    mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
      auto* me = static_cast<Observer*>(self);
      std::lock_guard<std::mutex> lock(me->mu_);
      me->messages_.push_back(
          {m->topic, std::string(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen)),
           m->retain});
      me->cv_.notify_all();
    });
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    mosquitto_connect_async(mosq_, "127.0.0.1", port, 10);
    mosquitto_loop_start(mosq_);
  }
  ~Observer() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
  }
  void Publish(const std::string& topic, const std::string& payload, bool retain = false) {
    mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
  }
  // Connected and subscribed: a probe it publishes comes back to it.
  bool Ready(int seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
      Publish("k417t-test/probe", "ready");
      if (WaitTopic("k417t-test/probe", "ready", 1)) return true;
    }
    return false;
  }
  std::vector<Message> All() {
    std::lock_guard<std::mutex> lock(mu_);
    return messages_;
  }
  // Waits until `pred` holds for the messages seen so far.
  bool WaitFor(const std::function<bool(const std::vector<Message>&)>& pred, int seconds) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(seconds), [&] { return pred(messages_); });
  }
  bool WaitTopic(const std::string& topic, const std::string& payload, int seconds) {
    return WaitFor(
        [&](const std::vector<Message>& ms) {
          for (const Message& m : ms)
            if (m.topic == topic && (payload.empty() || m.payload.find(payload) != std::string::npos)) return true;
          return false;
        },
        seconds);
  }

 private:
  mosquitto* mosq_ = nullptr;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Message> messages_;
};

}  // namespace k417t_test
