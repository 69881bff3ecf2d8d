// k417t-sim: a simulated K417T power-system controller on a pseudo-terminal
// (or a given serial port). Prints the path to open, then answers until
// SIGINT or SIGTERM.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <string>

#include "sim/pty_server.h"
#include "sim/scenario.h"
#include "sim/simulator.h"
#include "wire/serial_transport.h"

int main(int argc, char** argv) {
  CLI::App app{"Simulated K417T power-system controller"};
  std::string scenario_path;
  std::string tty;
  int baud = 0;
  app.add_option("--scenario", scenario_path, "scenario JSON file")
      ->required()
      ->check(CLI::ExistingFile);
  app.add_option("--tty", tty, "serve this serial port instead of a new pseudo-terminal");
  app.add_option("--baud", baud, "line speed; answers are paced at baud/10 bytes/s")
      ->check(CLI::Range(0, 115200));
  app.set_version_flag("--version", "k417t-sim " K417T_VERSION);
  CLI11_PARSE(app, argc, argv);

  if (!tty.empty() && baud != 0 && !qmx::wire::SerialTransport::baud_supported(baud)) {
    std::cerr << "k417t-sim: unsupported baud rate " << baud << "\n";
    return 2;
  }
  auto log = [](const std::string& line) { std::cerr << "k417t-sim: " << line << std::endl; };
  Json::Value root;
  std::string error;
  if (!k417t::sim::LoadScenarioFile(scenario_path, &root, &error)) {
    std::cerr << "k417t-sim: " << error << "\n";
    return 2;
  }
  auto sim = k417t::sim::Simulator::Create(root, &error, log);
  if (!sim) {
    std::cerr << "k417t-sim: " << scenario_path << ": " << error << "\n";
    return 2;
  }

  // Block the stop signals before the serving thread starts so that only
  // sigwait below receives them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  k417t::sim::ServerOptions options;
  options.tty_path = tty;
  options.baud = baud;
  options.log = log;
  k417t::sim::PtyServer server(std::move(sim), options);
  const std::string path = server.Start();
  if (path.empty()) {
    std::cerr << "k417t-sim: " << server.error() << "\n";
    return 1;
  }
  std::cout << path << std::endl;

  int sig = 0;
  sigwait(&stop_signals, &sig);
  server.Stop();
  const k417t::sim::SimStats s = server.stats();
  std::cerr << "k417t-sim: " << s.requests << " requests, " << s.answers << " answers, "
            << s.rounds_started << " rounds" << std::endl;
  return 0;
}
