#pragma once

// Who is asking: the users file (name, crypt(3) hash, role, the devices and
// codes an operator may command), the control token, login sessions, and the
// limit on failed credentials per client address. WebApi asks Auth; Auth
// knows nothing of the routes.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace qmx::web {

enum class Role { kViewer, kOperator };
const char* RoleWord(Role r);

struct User {
  std::string name;
  std::string hash;  // crypt(3): "$y$..." (yescrypt) or "$2b$..." (bcrypt)
  Role role = Role::kViewer;
  // An operator's allow-list: device (name or data identifier, "*" any) to
  // the codes it may send ("*" in the file: every code, kept as an empty
  // set). Empty map: every device, every code.
  std::map<std::string, std::set<int>> devices;
};

// --- Passwords (libcrypt).
// True when `password` gives `hash`. A malformed hash or any failure is
// false. Slow by design (the hash's own cost).
bool VerifyPassword(const std::string& password, const std::string& hash);
// A yescrypt hash of `password` with a fresh random salt; "" with `error`.
std::string HashPassword(const std::string& password, std::string& error);

// --- The users file: one user a line, NAME:HASH:ROLE[:DEVICES], '#' starts
// a comment line. DEVICES is DEVICE=CODES[,DEVICE=CODES...], CODES is
// CODE[/CODE...] or '*'.
bool ParseUsers(const std::string& text, std::vector<User>& users, std::string& error);
std::string FormatUsers(const std::vector<User>& users);
// "power-1=106/108,22=*" into an allow-list; false with the reason.
bool ParseDevices(const std::string& text, std::map<std::string, std::set<int>>& out,
                  std::string& error);
bool ValidUserName(const std::string& name);
// Reads and parses the file, refusing one that group or others may read.
bool LoadUsersFile(const std::string& path, std::vector<User>& users, std::string& error);
// Writes the file whole (a temporary file beside it, renamed over it), mode
// 0600.
bool WriteUsersFile(const std::string& path, const std::vector<User>& users, std::string& error);
// False with the reason when `token` is weaker than 128 bits: too short for
// its alphabet, or too few different characters.
bool TokenIsStrong(const std::string& token, std::string& error);

// --- Who a request is.
struct Identity {
  enum Kind {
    kNone,     // no credentials given
    kUser,     // a user (or the token, an operator of everything)
    kBad,      // credentials given, and wrong
    kLimited,  // this address failed too often: not even checked
  } kind = kNone;
  std::string name;  // the user; "token" for the token
  Role role = Role::kViewer;
  const User* user = nullptr;  // null for the token
  std::string reason;          // for kBad
};

struct AuthOptions {
  std::vector<User> users;
  std::string token;               // "" none
  std::function<int64_t()> clock;  // epoch seconds; default time()
  int64_t session_idle_s = 8 * 3600;
  int64_t session_max_s = 24 * 3600;
  size_t max_sessions = 1024;
  int failures = 5;  // within failure_window_s: then limited
  int64_t failure_window_s = 60;
  int64_t limited_s = 60;
  int64_t report_every_s = 30;  // log lines and audit rows about one address
  std::function<void(const std::string&)> log;
};

class Auth {
 public:
  explicit Auth(AuthOptions options);

  // From the Authorization header (Basic or Bearer) or the session cookie
  // (the Cookie header). A failure counts against `peer`.
  Identity Identify(const std::string& authorization, const std::string& cookie,
                    const std::string& peer);
  // A login: the session id to set in the cookie, or kBad / kLimited.
  Identity Login(const std::string& name, const std::string& password, const std::string& peer,
                 std::string& session);
  void Logout(const std::string& cookie);
  // True when anyone can be told apart (a users file or a token given).
  bool HasCredentials() const { return !opt_.users.empty() || !opt_.token.empty(); }
  // An operator's right to send `code` to the device (its data identifier
  // and its name).
  static bool Allowed(const Identity& who, unsigned int device, const std::string& device_name,
                      int code);
  // An operator's right to tend the alarms of the device (acknowledge,
  // shelve, maintenance): the device in the allow-list, whatever its codes.
  static bool MayTend(const Identity& who, unsigned int device, const std::string& device_name);
  // A rate-limited control attempt: true when it should be audited now (at
  // most once per report_every_s per address); `count` the attempts since
  // the last audited one, this one included.
  bool AuditLimited(const std::string& peer, uint64_t& count);
  // The addresses whose rate-limited attempts still wait for their row, with
  // their counts (now taken): those audited report_every_s ago or longer,
  // or with `all` every one (at stop).
  std::vector<std::pair<std::string, uint64_t>> TakeUnaudited(bool all);

  static std::string CookieHeader(const std::string& session, int64_t max_age_s);
  static constexpr const char* kCookie = "k417t_session";
  int64_t session_max_s() const { return opt_.session_max_s; }

 private:
  struct Session {
    std::string id;
    std::string user;
    int64_t created = 0, last = 0;
  };
  struct Peer {
    std::vector<int64_t> failures;  // within the window
    int64_t limited_until = 0;
    int64_t last_report = 0;
    uint64_t refused = 0;  // since the last report
    int64_t last_audit = 0;
    uint64_t unaudited = 0;
  };

  int64_t Now() const;
  const User* FindUser(const std::string& name) const;
  Identity Check(const std::string& name, const std::string& password);
  bool LimitedNow(const std::string& peer);
  void Failed(const std::string& peer);
  Identity FromSession(const std::string& id);
  void Prune(int64_t now);

  AuthOptions opt_;
  std::mutex mu_;  // sessions_ and peers_; never held over a password check
  // A yescrypt check takes 16 MiB for its time: at most kChecks at once,
  // so a burst of logins cannot take a gateway's memory.
  static constexpr int kChecks = 2;
  std::mutex checks_mu_;
  std::condition_variable checks_cv_;
  int checks_ = 0;
  std::vector<Session> sessions_;
  std::map<std::string, Peer> peers_;
};

// The value of cookie `name` in a Cookie header; "" when absent.
std::string CookieValue(const std::string& header, const std::string& name);
// Standard base64 decoding; false on a malformed input.
bool Base64Decode(const std::string& in, std::string& out);

}  // namespace qmx::web
