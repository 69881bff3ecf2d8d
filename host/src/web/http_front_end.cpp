#include "web/http_front_end.h"

#include <utility>

namespace qmx::web {

HttpFrontEnd::HttpFrontEnd(view::SiteView& view, ApiOptions api, ServerOptions server,
                           std::function<void(const std::string&)> log)
    : api_(view, std::move(api)), server_(api_, std::move(server), std::move(log)) {}

HttpFrontEnd::~HttpFrontEnd() { Stop(); }

bool HttpFrontEnd::Start(std::string& error) { return server_.Start(error); }

void HttpFrontEnd::Stop() {
  server_.Stop();
  api_.AuditLimitedAttempts(true);
}

void HttpFrontEnd::OnRound(const view::RoundView&) { api_.AuditLimitedAttempts(false); }

}  // namespace qmx::web
