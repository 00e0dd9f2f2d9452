// Loads libifd-ttycard.so the way pcscd does (dlopen, then dlsym by name) and
// reads its dynamic symbol table.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "pcsclite_api.h"

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

TEST_F(Library, HidesTheDriverInternals) {
  for (const char* name : {"Adm_Transmit", "Adm_Initialize", "T1_ExchangeData", "T0_ExchangeData",
                           "IO_InitializePort", "ICC", "ioport", "AtrProtocols"}) {
    EXPECT_EQ(dlsym(handle_, name), nullptr) << name << " is visible";
  }
}

TEST_F(Library, ExportsNothingButTheEntryPoints) {
  const std::string command = std::string(TTYCARD_NM) + " -D --defined-only " + TTYCARD_PCSC_LIB;
  FILE* nm = popen(command.c_str(), "r");
  ASSERT_NE(nm, nullptr);
  std::set<std::string> exported;
  char line[512];
  while (std::fgets(line, sizeof line, nm) != nullptr) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name) exported.insert(name);
  }
  ASSERT_EQ(pclose(nm), 0);
  EXPECT_EQ(exported, kEntryPoints);
}

// The loaded copy answers like the adapter: the version 3 names are the
// adapter's functions, not stand-ins, and touch no device here.
TEST_F(Library, LoadedEntryPointsAnswerWithoutAReader) {
  auto get =
      reinterpret_cast<decltype(&IFDHGetCapabilities)>(dlsym(handle_, "IFDHGetCapabilities"));
  auto create = reinterpret_cast<decltype(&IFDHCreateChannel)>(dlsym(handle_, "IFDHCreateChannel"));
  auto control = reinterpret_cast<decltype(&IFDHControl)>(dlsym(handle_, "IFDHControl"));
  ASSERT_TRUE(get && create && control);

  DWORD length = 1;
  UCHAR value = 0;
  EXPECT_EQ(get(0, TAG_IFD_SLOTS_NUMBER, &length, &value), IFD_SUCCESS);
  EXPECT_EQ(value, 1);
  // Channel type 2 is no serial port: refused before any device is opened.
  EXPECT_EQ(create(0, 0x0203F8), IFD_NOT_SUPPORTED);
  DWORD returned = 99;
  EXPECT_EQ(control(0, 0x42000001, nullptr, 0, nullptr, 0, &returned), IFD_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(returned, 0u);
}

}  // namespace
