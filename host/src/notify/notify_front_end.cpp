#include "notify/notify_front_end.h"

namespace qmx::notify {

NotifyFrontEnd::NotifyFrontEnd(view::SiteView& view, NotifyConfig cfg, Log log)
    : view_(view), cfg_(std::move(cfg)), log_(std::move(log)) {
  if (!log_) log_ = [](const std::string&) {};
}

NotifyFrontEnd::~NotifyFrontEnd() { Stop(); }

bool NotifyFrontEnd::Start(std::string& error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!cfg_.webhook.url.empty() && !webhook_) {
    auto w = std::make_unique<Webhook>(cfg_.webhook, view_.OpenNotices(Webhook::kSink), log_);
    if (!w->Start(error)) return false;
    webhook_ = std::move(w);
  }
  if (!cfg_.exec.command.empty() && !exec_) {
    exec_ = std::make_unique<ExecHook>(cfg_.exec, log_);
    exec_->Start();
  }
  return true;
}

void NotifyFrontEnd::Stop() {
  std::unique_ptr<ExecHook> exec;
  std::unique_ptr<Webhook> webhook;
  {
    // Notices told from here on go nowhere; the workers end outside the lock.
    std::lock_guard<std::mutex> lock(mu_);
    exec = std::move(exec_);
    webhook = std::move(webhook_);
  }
  if (exec) exec->Stop();
  if (webhook) webhook->Stop();
}

void NotifyFrontEnd::OnAlarm(const view::AlarmNotice& notice) {
  // Held only for two queue appends: the line or worker telling the notice
  // never waits for a command or an endpoint.
  std::lock_guard<std::mutex> lock(mu_);
  if (exec_) exec_->Offer(notice);
  if (webhook_) webhook_->Offer(notice);
}

}  // namespace qmx::notify
