#pragma once

#include <exception>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "qmx/host_services.h"
#include "qmx/visibility.h"

// The host's handle for one configured device tree. Devices reach every host
// service through it (via the weak pointer that Init sets).
class QMX_API QMXController {
 public:
  explicit QMXController(std::shared_ptr<qmx::HostServices> services = nullptr)
      : services_(std::move(services)) {}
  virtual ~QMXController() = default;

  // Formats `{}` placeholders with libfmt; a bad format never escapes, the raw
  // format text is logged instead.
  template <typename... Args>
  void InfoLog(const char* format, const Args&... args) {
    if (format == nullptr || !services_) return;
    std::string line;
    try {
      line = fmt::vformat(format, fmt::make_format_args(args...));
    } catch (const std::exception&) {
      line = format;
    }
    services_->Log(line);
  }

  qmx::HostServices* services() const { return services_.get(); }

 private:
  std::shared_ptr<qmx::HostServices> services_;
};
