// Test names for table-driven suites, made from each case's description:
// "slots, no room" becomes slots_no_room, so that the lists of gtest and
// ctest read as the table does.
#ifndef TTYCARD_PCSC_TESTS_CASE_NAME_H
#define TTYCARD_PCSC_TESTS_CASE_NAME_H

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace ttycard::pcsc::test {

// For INSTANTIATE_TEST_SUITE_P over cases with a `const char* what`.
struct CaseName {
  template <class Case>
  std::string operator()(const testing::TestParamInfo<Case>& info) const {
    std::string name;
    for (const char* p = info.param.what; *p != '\0'; ++p) {
      if (std::isalnum(static_cast<unsigned char>(*p))) {
        name += *p;
      } else if (!name.empty() && name.back() != '_') {
        name += '_';
      }
    }
    while (!name.empty() && name.back() == '_') name.pop_back();
    return name;
  }
};

}  // namespace ttycard::pcsc::test

#endif  // TTYCARD_PCSC_TESTS_CASE_NAME_H
