#include "user_command.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

#include "web/auth.h"

namespace k417t_run {
namespace {

int Fail(const std::string& error) {
  std::cerr << "k417t-run user: " << error << "\n";
  return 2;
}

// One line from standard input, echo off while it is typed at a terminal.
bool ReadLine(const char* prompt, std::string& out) {
  const bool tty = isatty(STDIN_FILENO) == 1;
  termios saved{};
  if (tty) {
    std::cerr << prompt << std::flush;
    if (tcgetattr(STDIN_FILENO, &saved) != 0) return false;
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) return false;
  }
  const bool ok = static_cast<bool>(std::getline(std::cin, out));
  if (tty) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  if (!out.empty() && out.back() == '\r') out.pop_back();
  return ok;
}

bool ReadPassword(std::string& password, std::string& error) {
  if (!ReadLine("password: ", password)) {
    error = "no password given (a line on standard input)";
    return false;
  }
  if (isatty(STDIN_FILENO) == 1) {
    std::string again;
    if (!ReadLine("again: ", again) || again != password) {
      error = "the two passwords differ";
      return false;
    }
  }
  if (password.size() < 8) {
    error = "the password is shorter than 8 characters";
    return false;
  }
  return true;
}

}  // namespace

CLI::App* UserCommand::Add(CLI::App& app) {
  command_ =
      app.add_subcommand("user", "add a user of the page and API, change a password, delete one");
  command_->add_option("action", action, "add, passwd or del")
      ->required()
      ->check(CLI::IsMember({"add", "passwd", "del"}));
  command_->add_option("name", name, "the user's name")->required();
  command_->add_option("--role", role, "viewer (reads) or operator (reads and control)")
      ->check(CLI::IsMember({"viewer", "operator"}));
  command_->add_option("--devices", devices,
                       "an operator's devices and codes: DEVICE=CODE/CODE|*[,...] (default all)");
  command_->add_option("--users", users, "the users file")->required();
  return command_;
}

int UserCommand::Run() const {
  if (!qmx::web::ValidUserName(name))
    return Fail("a user name is 1-64 letters, digits, '.', '_', '-' or '@'");
  std::vector<qmx::web::User> list;
  std::string error;
  if (access(users.c_str(), F_OK) == 0) {
    if (!qmx::web::LoadUsersFile(users, list, error)) return Fail(error);
  } else if (action != "add") {
    return Fail(users + ": " + std::strerror(errno));
  }
  auto it = list.begin();
  while (it != list.end() && it->name != name) ++it;
  if (action == "add" && it != list.end())
    return Fail("user " + name + " exists (passwd changes the password)");
  if (action != "add" && it == list.end()) return Fail("no user " + name + " in " + users);
  if (action != "add" && (!role.empty() || !devices.empty()) && action == "del")
    return Fail("del takes no --role or --devices");
  if (action == "del") {
    list.erase(it);
  } else {
    qmx::web::User u = action == "add" ? qmx::web::User{} : *it;
    u.name = name;
    if (!role.empty())
      u.role = role == "operator" ? qmx::web::Role::kOperator : qmx::web::Role::kViewer;
    if (action == "add" && role.empty()) return Fail("add needs --role viewer or --role operator");
    if (!devices.empty()) {
      if (u.role != qmx::web::Role::kOperator) return Fail("--devices is for an operator");
      if (!qmx::web::ParseDevices(devices, u.devices, error)) return Fail("--devices: " + error);
    } else if (u.role != qmx::web::Role::kOperator) {
      u.devices.clear();
    }
    std::string password;
    if (!ReadPassword(password, error)) return Fail(error);
    u.hash = qmx::web::HashPassword(password, error);
    std::fill(password.begin(), password.end(), '\0');
    if (u.hash.empty()) return Fail(error);
    if (action == "add") {
      list.push_back(std::move(u));
    } else {
      *it = std::move(u);
    }
  }
  if (!qmx::web::WriteUsersFile(users, list, error)) return Fail(error);
  std::cerr << "k417t-run user: " << action << " " << name << ": " << users << " written\n";
  return 0;
}

}  // namespace k417t_run
