#include "notify/notify_front_end.h"

namespace qmx::notify {

NotifyFrontEnd::NotifyFrontEnd(view::SiteView& view, NotifyConfig cfg, Log log)
    : view_(view), cfg_(std::move(cfg)), log_(std::move(log)) {
  if (!log_) log_ = [](const std::string&) {};
}

NotifyFrontEnd::~NotifyFrontEnd() { Stop(); }

bool NotifyFrontEnd::Start(std::string& error) {
  if (!cfg_.webhook.url.empty() && !webhook_) {
    auto w = std::make_unique<Webhook>(cfg_.webhook, view_.SinkHistory(), log_);
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
  if (exec_) exec_->Stop();
  if (webhook_) webhook_->Stop();
  exec_.reset();
  webhook_.reset();
}

void NotifyFrontEnd::OnAlarm(const view::AlarmNotice& notice) {
  if (exec_) exec_->Offer(notice);
  if (webhook_) webhook_->Offer(notice);
}

}  // namespace qmx::notify
