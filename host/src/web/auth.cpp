#include "web/auth.h"

#include <crypt.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>

#include "input/secret_file.h"
#include "view/control_rules.h"
#include "view/site_view.h"

namespace qmx::web {
namespace {

// A user of the users file, known by a password or a session.
Identity UserIdentity(const User& u) {
  Identity id;
  id.kind = Identity::kUser;
  id.name = u.name;
  id.role = u.role;
  id.user = &u;
  return id;
}

constexpr size_t kMaxPassword = 1024;
constexpr size_t kMaxName = 64;
constexpr size_t kMaxPeers = 4096;

bool SameBytes(const std::string& a, const std::string& b) {
  // Constant time in the content of b: every byte is compared.
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < b.size(); ++i)
    diff |= static_cast<unsigned char>(b[i] ^ (i < a.size() ? a[i] : 0));
  return diff == 0;
}

// The characters crypt(3) puts in a hash.
bool HashText(const std::string& h) {
  if (h.size() < 4 || h.size() > 256 || h[0] != '$') return false;
  return std::all_of(h.begin(), h.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '$' || c == '.' || c == '/';
  });
}

bool Hex(const std::string& s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

// Every field between separators, empty ones too ("a,,b," is four).
std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(sep, start);
    out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return out;
    start = end + 1;
  }
}

std::string RandomHex(size_t bytes) {
  std::string raw(bytes, '\0');
  size_t got = 0;
  while (got < bytes) {
    const ssize_t n = getrandom(&raw[got], bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return "";
    }
    got += static_cast<size_t>(n);
  }
  std::string out;
  for (unsigned char c : raw) out += fmt::format("{:02x}", c);
  return out;
}

}  // namespace

const char* RoleWord(Role r) { return r == Role::kOperator ? "operator" : "viewer"; }

bool VerifyPassword(const std::string& password, const std::string& hash) {
  if (password.size() > kMaxPassword || !HashText(hash) || password.find('\0') != std::string::npos)
    return false;
  // crypt_data is large (32 KiB): on the heap, one per check, so checks run
  // at once on several threads without a lock.
  auto data = std::make_unique<crypt_data>();
  std::memset(data.get(), 0, sizeof *data);
  const char* out = crypt_rn(password.c_str(), hash.c_str(), data.get(), sizeof *data);
  if (out == nullptr || out[0] == '*') return false;
  return SameBytes(out, hash);
}

std::string HashPassword(const std::string& password, std::string& error) {
  if (password.empty() || password.size() > kMaxPassword ||
      password.find('\0') != std::string::npos) {
    error = "the password must be 1 to 1024 bytes, without NUL";
    return "";
  }
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  // Count 0: libxcrypt's default cost for yescrypt; the salt's random bytes
  // come from the kernel (no rbytes given).
  if (crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting) == nullptr) {
    error = std::string("cannot make a salt: ") + std::strerror(errno);
    return "";
  }
  auto data = std::make_unique<crypt_data>();
  std::memset(data.get(), 0, sizeof *data);
  const char* out = crypt_rn(password.c_str(), setting, data.get(), sizeof *data);
  if (out == nullptr || out[0] == '*') {
    error = std::string("cannot hash the password: ") + std::strerror(errno);
    return "";
  }
  return out;
}

bool ValidUserName(const std::string& name) {
  if (name.empty() || name.size() > kMaxName) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-' ||
           c == '@';
  });
}

bool ParseDevices(const std::string& text, std::map<std::string, std::set<int>>& out,
                  std::string& error) {
  out.clear();
  if (text.empty()) {
    error = "the device list is empty";
    return false;
  }
  for (const std::string& entry : Split(text, ',')) {
    const size_t eq = entry.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == entry.size()) {
      error = "a device entry is DEVICE=CODE[/CODE...] or DEVICE=*, not '" + view::SafeText(entry) +
              "'";
      return false;
    }
    const std::string device = entry.substr(0, eq), codes = entry.substr(eq + 1);
    if (device.size() > 128 || device.find_first_of(":\n\r") != std::string::npos) {
      error = "device name '" + view::SafeText(device) + "' is not one a users file takes";
      return false;
    }
    if (out.count(device) != 0) {
      error = "device '" + view::SafeText(device) + "' named twice";
      return false;
    }
    std::set<int>& set = out[device];
    if (codes == "*") continue;
    for (const std::string& code : Split(codes, '/')) {
      if (code.empty() || code.size() > 4 ||
          !std::all_of(code.begin(), code.end(), [](char ch) { return ch >= '0' && ch <= '9'; }) ||
          view::FindControl(std::stoi(code)) == nullptr) {
        error = "'" + view::SafeText(code) + "' for device '" + view::SafeText(device) +
                "' is no control code (" + view::ControlCodesText() + ")";
        return false;
      }
      set.insert(std::stoi(code));
    }
    if (set.empty()) {
      error = "device '" + view::SafeText(device) + "' has no codes";
      return false;
    }
  }
  return true;
}

bool ParseUsers(const std::string& text, std::vector<User>& users, std::string& error) {
  users.clear();
  std::stringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    auto fail = [&](const std::string& why) {
      error = fmt::format("line {}: {}", number, why);
      return false;
    };
    const std::vector<std::string> f = Split(line, ':');
    if (f.size() < 3 || f.size() > 4) return fail("a user is NAME:HASH:ROLE[:DEVICES]");
    User u;
    u.name = f[0];
    if (!ValidUserName(u.name))
      return fail("the user name must be 1-64 letters, digits, '.', '_', '-' or '@'");
    u.hash = f[1];
    if (!HashText(u.hash) || (u.hash.rfind("$y$", 0) != 0 && u.hash.rfind("$2b$", 0) != 0 &&
                              u.hash.rfind("$2y$", 0) != 0))
      return fail("user " + u.name + ": the hash must be a yescrypt ($y$) or bcrypt ($2b$) hash");
    if (f[2] == "operator") {
      u.role = Role::kOperator;
    } else if (f[2] == "viewer") {
      u.role = Role::kViewer;
    } else {
      return fail("user " + u.name + ": the role must be viewer or operator, not '" +
                  view::SafeText(f[2]) + "'");
    }
    if (f.size() == 4) {
      if (u.role != Role::kOperator)
        return fail("user " + u.name + ": only an operator has devices");
      std::string why;
      if (!ParseDevices(f[3], u.devices, why)) return fail("user " + u.name + ": " + why);
    }
    for (const User& other : users)
      if (other.name == u.name) return fail("user " + u.name + " given twice");
    users.push_back(std::move(u));
  }
  return true;
}

std::string FormatUsers(const std::vector<User>& users) {
  std::string out = "# k417t users: NAME:HASH:ROLE[:DEVICE=CODE/CODE|*,...]\n";
  for (const User& u : users) {
    out += u.name + ":" + u.hash + ":" + RoleWord(u.role);
    if (!u.devices.empty()) {
      std::string list;
      for (const auto& [device, codes] : u.devices) {
        if (!list.empty()) list += ",";
        list += device + "=";
        if (codes.empty()) {
          list += "*";
        } else {
          std::string c;
          for (int code : codes) c += (c.empty() ? "" : "/") + std::to_string(code);
          list += c;
        }
      }
      out += ":" + list;
    }
    out += "\n";
  }
  return out;
}

bool LoadUsersFile(const std::string& path, std::vector<User>& users, std::string& error) {
  if (!SecretFileIsPrivate(path, "the users file", error)) return false;
  std::ifstream in(path);
  if (!in) {
    error = "cannot read the users file " + path;
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  if (text.str().size() > (1u << 20)) {
    error = "the users file " + path + " is larger than 1 MiB";
    return false;
  }
  if (!ParseUsers(text.str(), users, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

bool WriteUsersFile(const std::string& path, const std::vector<User>& users, std::string& error) {
  const std::string tmp = path + ".tmp";
  const std::string text = FormatUsers(users);
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    error = tmp + ": " + std::strerror(errno);
    return false;
  }
  bool ok = fchmod(fd, 0600) == 0;
  size_t done = 0;
  while (ok && done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  const int saved = errno;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    error = path + ": " + std::strerror(ok ? errno : saved);
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool TokenIsStrong(const std::string& token, std::string& error) {
  // Bits a random token of this alphabet carries: hex 4 a character,
  // base64url 6, anything printable a little more.
  const bool hex = Hex(token);
  const size_t needed = hex ? 32 : 22;
  if (token.size() < needed) {
    error = fmt::format("the token is {} characters; a random one of {} or more is needed ({})",
                        token.size(), needed, hex ? "hex" : "base64url");
    return false;
  }
  std::set<char> distinct(token.begin(), token.end());
  std::map<char, size_t> counts;
  size_t most = 0;
  for (char c : token) most = std::max(most, ++counts[c]);
  if (distinct.size() < 8 || most * 4 > token.size()) {
    error =
        "the token has too little variety to be random (make one with "
        "`head -c 24 /dev/urandom | base64`)";
    return false;
  }
  return true;
}

std::string CookieValue(const std::string& header, const std::string& name) {
  size_t pos = 0;
  while (pos < header.size()) {
    size_t end = header.find(';', pos);
    if (end == std::string::npos) end = header.size();
    std::string part = header.substr(pos, end - pos);
    const size_t first = part.find_first_not_of(' ');
    part = first == std::string::npos ? "" : part.substr(first);
    if (part.size() > name.size() && part.compare(0, name.size(), name) == 0 &&
        part[name.size()] == '=')
      return part.substr(name.size() + 1);
    pos = end + 1;
  }
  return "";
}

bool Base64Decode(const std::string& in, std::string& out) {
  out.clear();
  if (in.size() % 4 != 0 || in.size() > 4096) return false;
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  for (size_t i = 0; i < in.size(); i += 4) {
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = in[i + k];
      if (c == '=' && i + 4 == in.size() && k >= 2) {
        v[k] = 0;
        ++pad;
      } else {
        if (pad > 0) return false;
        v[k] = value(c);
        if (v[k] < 0) return false;
      }
    }
    const unsigned n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    out += static_cast<char>(n >> 16);
    if (pad < 2) out += static_cast<char>((n >> 8) & 0xFF);
    if (pad < 1) out += static_cast<char>(n & 0xFF);
  }
  return true;
}

// --- Auth

Auth::Auth(AuthOptions options) : opt_(std::move(options)) {}

int64_t Auth::Now() const {
  return opt_.clock ? opt_.clock() : static_cast<int64_t>(std::time(nullptr));
}

const User* Auth::FindUser(const std::string& name) const {
  for (const User& u : opt_.users)
    if (u.name == name) return &u;
  return nullptr;
}

std::string Auth::CookieHeader(const std::string& session, int64_t max_age_s) {
  return fmt::format("{}={}; HttpOnly; Secure; SameSite=Strict; Path=/; Max-Age={}", kCookie,
                     session, max_age_s);
}

void Auth::Prune(int64_t now) {
  sessions_.erase(std::remove_if(sessions_.begin(), sessions_.end(),
                                 [&](const Session& s) {
                                   return now - s.last >= opt_.session_idle_s ||
                                          now - s.created >= opt_.session_max_s;
                                 }),
                  sessions_.end());
  if (peers_.size() < kMaxPeers) return;
  for (auto it = peers_.begin(); it != peers_.end();) {
    const Peer& p = it->second;
    const bool quiet = p.limited_until <= now && p.unaudited == 0 && p.refused == 0 &&
                       (p.failures.empty() || now - p.failures.back() >= opt_.failure_window_s);
    it = quiet ? peers_.erase(it) : std::next(it);
  }
}

bool Auth::LimitedNow(const std::string& peer) {
  const int64_t now = Now();
  std::lock_guard<std::mutex> lock(mu_);
  auto it = peers_.find(peer);
  if (it == peers_.end() || it->second.limited_until <= now) return false;
  Peer& p = it->second;
  ++p.refused;
  if (now - p.last_report >= opt_.report_every_s) {
    if (opt_.log)
      opt_.log(fmt::format("http: {} failed credentials too often: {} request(s) refused with 429",
                           view::SafeText(peer), p.refused));
    p.last_report = now;
    p.refused = 0;
  }
  return true;
}

void Auth::Failed(const std::string& peer) {
  const int64_t now = Now();
  std::lock_guard<std::mutex> lock(mu_);
  Prune(now);
  if (peers_.size() >= kMaxPeers && peers_.count(peer) == 0) {
    // A flood from ever new addresses: they share one account.
    Peer& all = peers_["*"];
    all.failures.push_back(now);
    return;
  }
  Peer& p = peers_[peer];
  p.failures.erase(std::remove_if(p.failures.begin(), p.failures.end(),
                                  [&](int64_t t) { return now - t >= opt_.failure_window_s; }),
                   p.failures.end());
  p.failures.push_back(now);
  if (static_cast<int>(p.failures.size()) >= opt_.failures) {
    p.limited_until = now + opt_.limited_s;
    p.failures.clear();
  }
}

bool Auth::AuditLimited(const std::string& peer, uint64_t& count) {
  const int64_t now = Now();
  std::lock_guard<std::mutex> lock(mu_);
  Peer& p = peers_[peer];
  ++p.unaudited;
  if (p.last_audit != 0 && now - p.last_audit < opt_.report_every_s) return false;
  count = p.unaudited;
  p.unaudited = 0;
  p.last_audit = now;
  return true;
}

std::vector<std::pair<std::string, uint64_t>> Auth::TakeUnaudited(bool all) {
  const int64_t now = Now();
  std::vector<std::pair<std::string, uint64_t>> out;
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& [peer, p] : peers_) {
    if (p.unaudited == 0 || (!all && now - p.last_audit < opt_.report_every_s)) continue;
    out.emplace_back(peer, p.unaudited);
    p.unaudited = 0;
    p.last_audit = now;
  }
  return out;
}

Identity Auth::Check(const std::string& name, const std::string& password) {
  Identity id;
  const User* u = FindUser(name);
  // An unknown name costs a check too, so the time does not tell names.
  static const std::string kDummy = [] {
    std::string error;
    return HashPassword("no user has this password", error);
  }();
  {
    std::unique_lock<std::mutex> lock(checks_mu_);
    checks_cv_.wait(lock, [this] { return checks_ < kChecks; });
    ++checks_;
  }
  const bool ok = VerifyPassword(password, u != nullptr ? u->hash : kDummy) && u != nullptr;
  {
    std::lock_guard<std::mutex> lock(checks_mu_);
    --checks_;
  }
  checks_cv_.notify_one();
  if (!ok) {
    id.kind = Identity::kBad;
    id.name = name;
    id.reason = "wrong user or password";
    return id;
  }
  return UserIdentity(*u);
}

Identity Auth::FromSession(const std::string& cookie) {
  Identity id;
  const int64_t now = Now();
  std::string user;
  {
    std::lock_guard<std::mutex> lock(mu_);
    Prune(now);
    for (Session& s : sessions_) {
      if (SameBytes(cookie, s.id)) {
        s.last = now;
        user = s.user;
      }
    }
  }
  const User* u = user.empty() ? nullptr : FindUser(user);
  if (u == nullptr) {
    id.kind = Identity::kBad;
    id.reason = "the session has ended; log in again";
    return id;
  }
  return UserIdentity(*u);
}

Identity Auth::Identify(const std::string& authorization, const std::string& cookie_header,
                        const std::string& peer) {
  Identity id;
  const std::string cookie = CookieValue(cookie_header, kCookie);
  if (authorization.empty() && cookie.empty()) return id;
  if (LimitedNow(peer)) {
    id.kind = Identity::kLimited;
    id.reason = "too many failed credentials from this address; wait a minute";
    return id;
  }
  const std::string basic = "Basic ", bearer = "Bearer ";
  if (authorization.rfind(bearer, 0) == 0) {
    const std::string given = authorization.substr(bearer.size());
    if (!opt_.token.empty() && SameBytes(given, opt_.token)) {
      id.kind = Identity::kUser;
      id.name = "token";
      id.role = Role::kOperator;
      return id;
    }
    id.kind = Identity::kBad;
    id.name = "token";
    id.reason = "a valid token is required (Authorization: Bearer TOKEN)";
  } else if (authorization.rfind(basic, 0) == 0) {
    std::string pair;
    size_t colon = std::string::npos;
    if (Base64Decode(authorization.substr(basic.size()), pair)) colon = pair.find(':');
    if (colon == std::string::npos || !ValidUserName(pair.substr(0, colon))) {
      id.kind = Identity::kBad;
      id.reason = "malformed Basic credentials";
    } else {
      id = Check(pair.substr(0, colon), pair.substr(colon + 1));
    }
  } else if (!authorization.empty()) {
    id.kind = Identity::kBad;
    id.reason = "the Authorization header takes Basic or Bearer";
  } else {
    id = FromSession(cookie);
    // An ended session is no guess at a password: it does not count.
    return id;
  }
  if (id.kind == Identity::kBad) Failed(peer);
  return id;
}

Identity Auth::Login(const std::string& name, const std::string& password, const std::string& peer,
                     std::string& session) {
  Identity id;
  if (LimitedNow(peer)) {
    id.kind = Identity::kLimited;
    id.reason = "too many failed credentials from this address; wait a minute";
    return id;
  }
  if (!ValidUserName(name)) {
    id.kind = Identity::kBad;
    id.reason = "wrong user or password";
  } else {
    id = Check(name, password);
  }
  if (id.kind != Identity::kUser) {
    Failed(peer);
    return id;
  }
  session = RandomHex(16);
  if (session.empty()) {
    id.kind = Identity::kBad;
    id.reason = "no random bytes for a session";
    return id;
  }
  const int64_t now = Now();
  std::lock_guard<std::mutex> lock(mu_);
  Prune(now);
  if (sessions_.size() >= opt_.max_sessions) {
    // The one used longest ago goes.
    auto oldest =
        std::min_element(sessions_.begin(), sessions_.end(),
                         [](const Session& a, const Session& b) { return a.last < b.last; });
    sessions_.erase(oldest);
  }
  sessions_.push_back(Session{session, id.name, now, now});
  return id;
}

void Auth::Logout(const std::string& cookie_header) {
  const std::string cookie = CookieValue(cookie_header, kCookie);
  if (cookie.empty()) return;
  std::lock_guard<std::mutex> lock(mu_);
  sessions_.erase(std::remove_if(sessions_.begin(), sessions_.end(),
                                 [&](const Session& s) { return SameBytes(cookie, s.id); }),
                  sessions_.end());
}

bool Auth::Allowed(const Identity& who, unsigned int device, const std::string& device_name,
                   int code) {
  if (who.kind != Identity::kUser || who.role != Role::kOperator) return false;
  if (who.user == nullptr || who.user->devices.empty()) return true;  // the token; no list
  for (const std::string& key : {std::to_string(device), device_name, std::string("*")}) {
    auto it = who.user->devices.find(key);
    if (it != who.user->devices.end() && (it->second.empty() || it->second.count(code) != 0))
      return true;
  }
  return false;
}

bool Auth::MayTend(const Identity& who, unsigned int device, const std::string& device_name) {
  if (who.kind != Identity::kUser || who.role != Role::kOperator) return false;
  if (who.user == nullptr || who.user->devices.empty()) return true;  // the token; no list
  for (const std::string& key : {std::to_string(device), device_name, std::string("*")})
    if (who.user->devices.count(key) != 0) return true;
  return false;
}

}  // namespace qmx::web
