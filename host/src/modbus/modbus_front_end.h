#pragma once

// The Modbus-TCP server as one of the runner's front ends, on a thread of
// its own. libmodbus opens the listening socket; the thread polls it and
// the clients without blocking, cuts each client's bytes into frames and
// answers them from a register image (modbus_answer.h). A round or a link
// change only marks the image old; the thread rebuilds it from the view
// when it next answers (and at least every second, for the health's
// seconds-since-round), so no client delays polling.
//
// Connections beyond max_clients are closed at once (counted; logged at
// most once a minute); a client silent for idle_s is closed. Control writes
// go to a worker of their own: the view waits for the device's turn, and no
// reader waits for that.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "modbus/modbus_answer.h"
#include "modbus/modbus_config.h"
#include "modbus/modbus_map.h"
#include "view/site_view.h"

namespace qmx::modbus {

class ModbusFrontEnd : public view::FrontEnd, private WriteHandler {
 public:
  // `reload`: the settings from a reloaded site file (with the same
  // command-line options); false with the problem.
  using Loader = std::function<bool(const Json::Value&, ModbusConfig&, std::string&)>;
  ModbusFrontEnd(view::SiteView& view, ModbusConfig cfg,
                 std::function<void(const std::string&)> log, Loader reload = nullptr);
  ~ModbusFrontEnd() override;

  const char* name() const override { return "modbus"; }
  bool Start(std::string& error) override;
  void Stop() override;
  void OnRound(const view::RoundView& round) override;
  void OnLink(const LinkReport& link) override;
  // The listening address cannot change without a restart; the rest can.
  bool CheckReload(const Json::Value& site, std::string& error) override;
  void OnReload(const Json::Value& site) override;

  int port() const { return bound_port_; }
  uint64_t rejected() const { return rejected_; }
  uint64_t requests() const { return requests_; }

 private:
  struct Client {
    int fd = -1;
    std::string peer;
    std::vector<uint8_t> buf;
    std::chrono::steady_clock::time_point last;
    std::map<unsigned int, std::array<uint16_t, 3>> staged;  // the command block per device
  };
  struct LastCommand {
    uint16_t seq = 0, code = 0, byte = 0xFFFF, outcome = 0;
    int16_t result = 0;
  };
  struct Job {
    view::ControlAttempt attempt;
    uint16_t seq = 0;
  };

  void Run();
  void Accept();
  bool Serve(Client& c);  // false: close it
  void Refresh(bool force);
  void Warn(const std::string& what, std::chrono::steady_clock::time_point& last, uint64_t count);
  void ControlWorker();
  uint8_t ReadHolding(unsigned int device, uint16_t address, uint16_t count,
                      uint16_t* out) override;
  uint8_t WriteHolding(unsigned int device, uint16_t address, const uint16_t* values,
                       uint16_t count) override;
  void Refuse(const view::ControlAttempt& a, uint16_t seq, const std::string& reason);
  bool PeerAllowed(const std::string& peer) const;

  view::SiteView& view_;
  const std::function<void(const std::string&)> log_;
  Loader reload_;

  std::mutex cfg_mu_;  // cfg_ and units_ (reload)
  ModbusConfig cfg_;
  std::map<uint8_t, unsigned int> units_;

  void* ctx_ = nullptr;  // modbus_t
  int listen_fd_ = -1, wake_fd_ = -1;
  int bound_port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false}, dirty_{true};
  std::atomic<uint64_t> rejected_{0}, requests_{0};

  // Server thread only.
  std::vector<Client> clients_;
  RegisterImage image_;
  std::chrono::steady_clock::time_point built_{};
  std::chrono::steady_clock::time_point warned_full_{}, warned_bad_{};
  uint64_t bad_frames_ = 0;
  Client* current_ = nullptr;

  // Control: the worker and what it reports back.
  std::mutex control_mu_;
  std::condition_variable control_cv_;
  std::deque<Job> jobs_;
  std::map<unsigned int, LastCommand> last_;  // by device
  std::thread worker_;
};

}  // namespace qmx::modbus
