// The view's door to the rectifiers: what it refuses before a command goes
// out (late copies, replays), and the audit it leaves for every attempt.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "site/site_host.h"
#include "store/history_store.h"
#include "view/site_view.h"

namespace {

using qmx::view::ControlAttempt;

struct Door {
  std::string db;
  std::mutex mu;
  std::vector<std::string> lines;
  std::shared_ptr<qmx::SiteHost> host;
  std::unique_ptr<qmx::view::SiteView> view;
  int64_t now = 1'760'000'000;

  explicit Door(const std::string& name, uint32_t max_audit_rows = 10000) {
    db = ::testing::TempDir() + name + "-" + std::to_string(getpid()) + ".db";
    std::remove(db.c_str());
    qmx::SiteHost::Options o;
    o.db_path = db;
    o.retention.max_audit_rows = max_audit_rows;
    host = std::make_shared<qmx::SiteHost>(o, [this](const std::string& l) {
      std::lock_guard<std::mutex> lock(mu);
      lines.push_back(l);
    });
    host->OpenHistory();
    view = std::make_unique<qmx::view::SiteView>(*host);
    view->SetClock([this] { return now; });
  }
  ~Door() {
    host->Shutdown();
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db + suffix).c_str());
  }
  std::vector<qmx::store::AuditEntry> Audit() {
    host->history()->Flush();
    return host->history()->Audit(0, INT64_MAX / 2, 1000);
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mu);
    return lines;
  }
};

ControlAttempt Attempt(const std::string& id, int64_t sent_at = 0) {
  ControlAttempt a;
  a.via = "http";
  a.who = "alice";
  a.peer = "192.0.2.7";
  a.device = 7;  // no such device: the host refuses what passes the door
  a.code = 110;
  a.byte = 1;
  a.request_id = id;
  a.sent_at = sent_at;
  return a;
}

TEST(ControlDoor, LateCopiesAndReplaysNeverReachTheDeviceAndEveryAttemptIsAuditedOnce) {
  Door d("control_door");
  // Passes the door; the host has no device 7.
  EXPECT_EQ(d.view->Control(Attempt("r-1", d.now - 5)).reason, "no device 7");
  // The same id again through the same front end: a replay.
  const auto replay = d.view->Control(Attempt("r-1", d.now - 4));
  EXPECT_EQ(replay.result, -1);
  EXPECT_NE(replay.reason.find("request id already run"), std::string::npos) << replay.reason;
  // The same id through another front end is another request.
  ControlAttempt mqtt = Attempt("r-1");
  mqtt.via = "mqtt";
  EXPECT_EQ(d.view->Control(mqtt).reason, "no device 7");
  // Too old, too far ahead; neither takes its id.
  EXPECT_NE(d.view->Control(Attempt("r-2", d.now - 31)).reason.find("31 s ago"), std::string::npos);
  EXPECT_NE(d.view->Control(Attempt("r-3", d.now + 31)).reason.find("ahead"), std::string::npos);
  EXPECT_EQ(d.view->Control(Attempt("r-2", d.now)).reason, "no device 7");
  // A minute later the id is forgotten.
  d.now += 61;
  EXPECT_EQ(d.view->Control(Attempt("r-1")).reason, "no device 7");
  // Turned away by a front end.
  d.view->Refused(Attempt("r-9"), "bad credentials", "a valid token is required");

  const auto rows = d.Audit();
  ASSERT_EQ(rows.size(), 8u);
  ASSERT_EQ(d.Lines().size(), 8u);
  EXPECT_EQ(rows[0].via, "http");
  EXPECT_EQ(rows[0].who, "alice");
  EXPECT_EQ(rows[0].peer, "192.0.2.7");
  EXPECT_EQ(rows[0].device, 7u);
  EXPECT_EQ(rows[0].code, 110);
  EXPECT_EQ(rows[0].byte, 1);
  EXPECT_EQ(rows[0].request_id, "r-1");
  EXPECT_EQ(rows[0].outcome, "refused");
  EXPECT_EQ(rows[2].via, "mqtt");
  EXPECT_EQ(rows[7].outcome, "bad credentials");
  EXPECT_EQ(rows[7].time, d.now);
  EXPECT_GT(rows[7].id, rows[0].id);
  EXPECT_EQ(d.Lines()[7],
            "control: http alice from 192.0.2.7: device 7 code 110 byte 1 request r-9: bad "
            "credentials: a valid token is required");
}

TEST(ControlDoor, ClientTextCannotForgeALogLineAndTheAuditKeepsItsOwnBound) {
  Door d("control_door_bound", 5);
  ControlAttempt a =
      Attempt("x\ncontrol: http root from 10.0.0.1: device 7 code 110: done\x1b]0;t\x07");
  a.who = "eve\r\n";
  d.view->Refused(a, "refused", "unknown member '\n'");
  for (const std::string& l : d.Lines()) {
    for (const char c : l) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F) << l;
    EXPECT_NE(l.find("eve\\x0D\\x0A"), std::string::npos) << l;
    EXPECT_NE(l.find("x\\x0Acontrol: http root"), std::string::npos) << l;
  }
  // The stored row keeps what was sent; only its printing is made safe.
  ASSERT_EQ(d.Audit().size(), 1u);
  EXPECT_EQ(d.Audit()[0].who, "eve\r\n");
  for (int i = 0; i < 12; ++i) {
    d.view->Refused(Attempt("n-" + std::to_string(i)), "refused", "control is off");
    if (i % 4 == 0) d.host->history()->Flush();
  }
  const auto rows = d.Audit();
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows.back().request_id, "n-11");
  EXPECT_EQ(rows.front().request_id, "n-7");
}

}  // namespace
