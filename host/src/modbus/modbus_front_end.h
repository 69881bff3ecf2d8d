#pragma once

// The Modbus server as one of the runner's front ends: Modbus-TCP and
// Modbus-RTU, each on a thread of its own. libmodbus opens the listening
// socket and the serial port (with its line settings); each thread polls
// without blocking, cuts the bytes into frames and answers them from a
// register image of its own (modbus_answer.h). A round or a link change
// only marks the images old; a thread rebuilds its image from the view when
// it next answers (and at least every second, for the health's
// seconds-since-round), so no client delays polling.
//
// RTU: the gateway is a slave on an RS-485 bus. A frame ends when its
// function code's length has arrived with a good CRC, or after the line's
// 3.5-character silence. Frames for addresses no device has, broadcasts and
// frames with a bad CRC get no answer (counted); our own reply read back by
// an echoing adapter is dropped. A port that cannot be opened or goes away
// is reopened with back-off.
//
// Connections beyond max_clients are closed at once (counted; logged at
// most once a minute); a client silent for idle_s is closed. Control writes
// go to a worker of their own: the view waits for the device's turn, and no
// reader waits for that.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "modbus/modbus_answer.h"
#include "modbus/modbus_config.h"
#include "modbus/modbus_map.h"
#include "view/site_view.h"

namespace qmx::modbus {

class ModbusFrontEnd : public view::FrontEnd {
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
  // The listening address and the serial port's settings cannot change
  // without a restart; the rest can.
  bool CheckReload(const Json::Value& site, std::string& error) override;
  void OnReload(const Json::Value& site) override;

  int port() const { return bound_port_; }
  uint64_t rejected() const { return rejected_; }
  uint64_t requests() const { return requests_; }
  // RTU: frames answered, dropped for a bad CRC or length, and left to others
  // (another address, broadcast, our own echo).
  uint64_t rtu_requests() const { return rtu_requests_; }
  uint64_t rtu_bad_frames() const { return rtu_bad_; }
  uint64_t rtu_ignored() const { return rtu_ignored_; }

 private:
  using Clock = std::chrono::steady_clock;
  // Who writes: a TCP client or the serial port, with its staged command
  // block per device.
  struct Requester {
    bool serial = false;
    std::string via, who, peer;
    std::map<unsigned int, std::array<uint16_t, 3>> staged;
  };
  struct Client {
    int fd = -1;
    Requester from;
    std::vector<uint8_t> buf;
    Clock::time_point last;
  };
  // A request's holding registers, for the one requester.
  class Writes : public WriteHandler {
   public:
    Writes(ModbusFrontEnd& fe, Requester& r) : fe_(fe), r_(r) {}
    uint8_t ReadHolding(unsigned int device, uint16_t address, uint16_t count,
                        uint16_t* out) override {
      return fe_.ReadHolding(r_, device, address, count, out);
    }
    uint8_t WriteHolding(unsigned int device, uint16_t address, const uint16_t* values,
                         uint16_t count) override {
      return fe_.WriteHolding(r_, device, address, values, count);
    }

   private:
    ModbusFrontEnd& fe_;
    Requester& r_;
  };
  // A server thread's register image.
  struct Image {
    RegisterImage registers;
    Clock::time_point built{};
    uint64_t seen = ~uint64_t{0};
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
  void Refresh(Image& image, bool force);
  void RunRtu();
  bool OpenRtu(const RtuConfig& rc, int& fd, std::string& error);
  void CloseRtu();
  void Warn(const std::string& what, std::chrono::steady_clock::time_point& last, uint64_t count);
  void ControlWorker();
  uint8_t ReadHolding(Requester& r, unsigned int device, uint16_t address, uint16_t count,
                      uint16_t* out);
  uint8_t WriteHolding(Requester& r, unsigned int device, uint16_t address, const uint16_t* values,
                       uint16_t count);
  void Refuse(const view::ControlAttempt& a, uint16_t seq, const std::string& reason);
  // Whether writes from `r` are on; otherwise the reason (cfg_mu_ held).
  bool WritesOn(const Requester& r, std::string& reason) const;

  view::SiteView& view_;
  const std::function<void(const std::string&)> log_;
  Loader reload_;

  std::mutex cfg_mu_;  // cfg_ and units_ (reload)
  ModbusConfig cfg_;
  std::map<uint8_t, unsigned int> units_;

  void* ctx_ = nullptr;  // modbus_t
  int listen_fd_ = -1, wake_fd_ = -1;
  int bound_port_ = 0;
  std::thread thread_, rtu_thread_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> changes_{0};  // rounds, links, reloads, commands: images to rebuild
  std::atomic<uint64_t> rejected_{0}, requests_{0};
  std::atomic<uint64_t> rtu_requests_{0}, rtu_bad_{0}, rtu_ignored_{0};
  std::shared_ptr<const Map> map_;

  // TCP server thread only.
  std::vector<Client> clients_;
  Image image_;
  Clock::time_point warned_full_{}, warned_bad_{};
  uint64_t bad_frames_ = 0;

  // RTU thread only.
  void* rtu_ctx_ = nullptr;  // modbus_t
  Image rtu_image_;
  Clock::time_point warned_rtu_{};

  // Control: the worker and what it reports back.
  std::mutex control_mu_;
  std::condition_variable control_cv_;
  std::deque<Job> jobs_;
  std::map<unsigned int, LastCommand> last_;  // by device
  std::thread worker_;
};

}  // namespace qmx::modbus
