// Stands in for pcscd's log_msg in a test binary (exported from the
// executable, so that the library finds it as it finds pcscd's): every line
// the library logs is kept here for the tests to read.
#ifndef TTYCARD_PCSC_TESTS_LOG_CAPTURE_H
#define TTYCARD_PCSC_TESTS_LOG_CAPTURE_H

#include <string>
#include <vector>

namespace logcap {

std::vector<std::string> Lines();
void Clear();
// Lines that contain every one of `parts`.
std::size_t Count(std::initializer_list<const char*> parts);

}  // namespace logcap

#endif  // TTYCARD_PCSC_TESTS_LOG_CAPTURE_H
