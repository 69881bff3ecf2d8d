// k417t.so as a host sees it: loaded with dlopen, one exported entry.
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "plugin/get_providers.h"
#include "qmx/pmbus_protocol.h"

namespace {

struct Library {
  Library() : handle(dlopen(K417T_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL)) {}
  ~Library() {
    if (handle != nullptr) dlclose(handle);
  }
  get_providers_fn entry() const {
    return reinterpret_cast<get_providers_fn>(dlsym(handle, "get_providers"));
  }
  void* handle;
};

std::string Shell(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[256];
  while (fgets(buf, sizeof buf, p) != nullptr) out += buf;
  pclose(p);
  return out;
}

}  // namespace

TEST(Plugin, LoadsAndExportsOnlyGetProviders) {
  Library lib;
  ASSERT_NE(nullptr, lib.handle) << dlerror();
  ASSERT_NE(nullptr, lib.entry());
  const std::string syms = Shell(std::string(K417T_NM " -D --defined-only ") + K417T_PLUGIN_PATH);
  // one line, for one symbol: "<address> T get_providers"
  EXPECT_EQ(1, std::count(syms.begin(), syms.end(), '\n')) << syms;
  EXPECT_NE(std::string::npos, syms.find(" T get_providers\n")) << syms;
  const std::string soname = Shell(std::string(K417T_READELF " -d ") + K417T_PLUGIN_PATH);
  EXPECT_NE(std::string::npos, soname.find("[k417t.so]")) << soname;
}

TEST(Plugin, ProvidersInOrderFreshOnEveryCall) {
  Library lib;
  ASSERT_NE(nullptr, lib.handle) << dlerror();
  auto first = lib.entry()();
  auto second = lib.entry()();
  ASSERT_EQ(4u, first.size());
  ASSERT_EQ(4u, second.size());
  const char* types[] = {"k417t", "k417t-ac", "k417t-dc", "k417t-rc"};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_NE(first[i].get(), second[i].get());
    auto* factory = dynamic_cast<QMXSPDeviceProvider*>(first[i].get());
    ASSERT_NE(nullptr, factory);
    std::unique_ptr<QMXSPDevice> a(factory->create());
    std::unique_ptr<QMXSPDevice> b(factory->create());
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(types[i], a->DeviceType());
    EXPECT_EQ(0u, a->DataId());
  }
}

TEST(Plugin, DevicesOutliveTheirProviders) {
  Library lib;
  ASSERT_NE(nullptr, lib.handle) << dlerror();
  std::unique_ptr<QMXSPDevice> ctrl, dc;
  {
    auto providers = lib.entry()();
    ctrl.reset(dynamic_cast<QMXSPDeviceProvider&>(*providers[0]).create());
    dc.reset(dynamic_cast<QMXSPDeviceProvider&>(*providers[2]).create());
  }
  EXPECT_EQ("k417t", ctrl->DeviceType());
  EXPECT_EQ(9600, ctrl->baud_rate);
  EXPECT_EQ(1, ctrl->sp_flag);
  EXPECT_EQ(0x21, dynamic_cast<PMBusProtocol&>(*ctrl).protocol_ver);
  EXPECT_EQ("k417t-dc", dc->DeviceType());
  try {
    dc->Get_Value(0, "v");
    FAIL();
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ("数据未就绪", e.what());
  }
}
