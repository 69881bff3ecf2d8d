#pragma once

// Notifications as a front end: the alarm board's notices handed to the
// exec hook and the webhook (each with its own worker, delay and rate
// limit). OnAlarm only queues; nothing here waits for a command or an
// endpoint on the thread that told the notice.
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "notify/exec_hook.h"
#include "notify/notify_config.h"
#include "notify/webhook.h"
#include "view/site_view.h"

namespace qmx::notify {

class NotifyFrontEnd : public view::FrontEnd {
 public:
  using Log = std::function<void(const std::string&)>;
  NotifyFrontEnd(view::SiteView& view, NotifyConfig cfg, Log log);
  ~NotifyFrontEnd() override;

  const char* name() const override { return "notify"; }
  bool Start(std::string& error) override;
  void Stop() override;
  void OnAlarm(const view::AlarmNotice& notice) override;

 private:
  view::SiteView& view_;
  NotifyConfig cfg_;
  Log log_;
  std::mutex mu_;
  std::unique_ptr<ExecHook> exec_;
  std::unique_ptr<Webhook> webhook_;
};

}  // namespace qmx::notify
