// Loads libifd-ttycard.so the way pcscd does (dlopen, then dlsym by name) and
// reads its dynamic symbol table.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "pcsclite_api.h"
#include "stdio_capture.h"

namespace {

const std::set<std::string> kEntryPoints = {
    // version 1.0
    "IO_Create_Channel", "IO_Close_Channel", "IFD_Get_Capabilities", "IFD_Set_Capabilities",
    "IFD_Set_Protocol_Parameters", "IFD_Power_ICC", "IFD_Swallow_ICC", "IFD_Eject_ICC",
    "IFD_Confiscate_ICC", "IFD_Transmit_to_ICC", "IFD_Is_ICC_Present", "IFD_Is_ICC_Absent",
    // version 3
    "IFDHCreateChannelByName", "IFDHCreateChannel", "IFDHCloseChannel", "IFDHGetCapabilities",
    "IFDHSetCapabilities", "IFDHSetProtocolParameters", "IFDHPowerICC", "IFDHTransmitToICC",
    "IFDHICCPresence", "IFDHControl"};

class Library : public testing::Test {
 protected:
  static void SetUpTestSuite() { handle_ = dlopen(TTYCARD_PCSC_LIB, RTLD_NOW | RTLD_LOCAL); }
  void SetUp() override { ASSERT_NE(handle_, nullptr) << dlerror(); }
  static void* handle_;
};
void* Library::handle_ = nullptr;

TEST_F(Library, ResolvesEveryEntryPointByItsPlainName) {
  for (const auto& name : kEntryPoints) {
    EXPECT_NE(dlsym(handle_, name.c_str()), nullptr) << name << ": " << dlerror();
  }
}

// The names defined in the library: the dynamic table (what a host can
// resolve) or the whole symbol table (everything linked in).
std::set<std::string> Defined(bool dynamic) {
  const std::string command =
      std::string(TTYCARD_NM) + (dynamic ? " -D" : "") + " --defined-only " + TTYCARD_PCSC_LIB;
  std::set<std::string> names;
  FILE* nm = popen(command.c_str(), "r");
  if (nm == nullptr) return names;
  char line[512];
  while (std::fgets(line, sizeof line, nm) != nullptr) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name) names.insert(name);
  }
  if (pclose(nm) != 0) names.clear();
  return names;
}

// Each is linked into the library, and none can be resolved from it.
TEST_F(Library, HidesTheDriverInternals) {
  const std::set<std::string> linked = Defined(false);
  for (const char* name :
       {"Adm_Transmit", "Adm_Initialize", "T1_ExchangeData", "T0_ExchangeData", "IO_InitializePort",
        "ICC", "ioport", "_ZN7ttycard3atr5ParseEPKhm"}) {  // ttycard::atr::Parse
    EXPECT_EQ(linked.count(name), 1u) << name << " is not in the library at all";
    EXPECT_EQ(dlsym(handle_, name), nullptr) << name << " is visible";
  }
}

TEST_F(Library, ExportsNothingButTheEntryPoints) {
  EXPECT_EQ(Defined(true), kEntryPoints);
}

// The loaded copy answers like the adapter: the version 3 names are the
// adapter's functions, not stand-ins. Without a channel every call is
// refused; loaded by a host without pcscd's log_msg, nothing at all appears
// on standard output or error, not even for the refusals.
TEST_F(Library, LoadedEntryPointsRefuseALunWithoutAChannelSilently) {
  auto get =
      reinterpret_cast<decltype(&IFDHGetCapabilities)>(dlsym(handle_, "IFDHGetCapabilities"));
  auto create = reinterpret_cast<decltype(&IFDHCreateChannel)>(dlsym(handle_, "IFDHCreateChannel"));
  auto by_name = reinterpret_cast<decltype(&IFDHCreateChannelByName)>(
      dlsym(handle_, "IFDHCreateChannelByName"));
  auto control = reinterpret_cast<decltype(&IFDHControl)>(dlsym(handle_, "IFDHControl"));
  auto presence = reinterpret_cast<decltype(&IFDHICCPresence)>(dlsym(handle_, "IFDHICCPresence"));
  ASSERT_TRUE(get && create && by_name && control && presence);

  StdioCapture capture;
  ASSERT_TRUE(capture.Ok());
  DWORD length = 1;
  UCHAR value = 0xEE;
  const RESPONSECODE slots = get(0, TAG_IFD_SLOTS_NUMBER, &length, &value);
  // Channel type 2 is no serial port: refused before any device is opened.
  const RESPONSECODE created = create(0, 0x0203F8);
  const RESPONSECODE named = by_name(0, const_cast<LPSTR>("/nonexistent/ttyS9"));
  DWORD returned = 99;
  const RESPONSECODE controlled =
      control(0, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, nullptr, 0, &returned);
  const RESPONSECODE present = presence(0x00050000);
  const std::string written = capture.Stop();

  EXPECT_EQ(slots, IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(value, 0xEE);
  EXPECT_EQ(created, IFD_NOT_SUPPORTED);
  EXPECT_EQ(named, IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(controlled, IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(present, IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(written, "") << "the library wrote to standard output or error";
}

}  // namespace
