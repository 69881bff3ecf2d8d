#pragma once

// The HTTP front end (page, JSON API, /metrics) as one extension the runner
// starts and stops: a WebApi over the site's view behind the embedded
// server. Round timing comes from the view, so it needs no round events.
#include <functional>
#include <string>

#include "view/site_view.h"
#include "web/http_server.h"
#include "web/web_api.h"

namespace qmx::web {

class HttpFrontEnd : public qmx::view::FrontEnd {
 public:
  HttpFrontEnd(view::SiteView& view, ApiOptions api, ServerOptions server,
               std::function<void(const std::string&)> log);
  ~HttpFrontEnd() override;

  const char* name() const override { return "http"; }
  // Listens; false with the reason when the address cannot be bound.
  bool Start(std::string& error) override;
  // Stops accepting and waits for the workers (they call into the host);
  // then audits what rate-limited attempts still wait for their row.
  void Stop() override;
  // Audits the rate-limited control attempts whose row is due.
  void OnRound(const view::RoundView& round) override;

  int port() const { return server_.port(); }
  int backend_port() const { return server_.backend_port(); }
  uint64_t failed_handshakes() const { return server_.failed_handshakes(); }
  WebApi& api() { return api_; }

 private:
  WebApi api_;
  HttpServer server_;
};

}  // namespace qmx::web
