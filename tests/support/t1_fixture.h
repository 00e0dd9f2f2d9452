// A scripted T=1 card on the scripted line, and one exchange against it,
// with guard-filled response buffer and length.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <optional>
#include <vector>

#include "blockproto.h"
#include "fake_line.h"

namespace ttycard::test {

class T1Fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLine();
    Line().responder = [this](const Bytes& f) { return card_(f); };
  }
  // Queues the card's answers, in order.
  void Card(std::initializer_list<std::optional<Bytes>> answers) {
    for (const auto& a : answers) card_.answers.push_back(a);
  }
  int Exchange(const Bytes& apdu) {
    response_.fill(0xEE);
    length_ = 0xDEAD;
    return T1_ExchangeData(apdu.data(), static_cast<unsigned int>(apdu.size()), response_.data(),
                           &length_);
  }
  Bytes Response() const { return Bytes(response_.begin(), response_.begin() + length_); }
  const std::vector<Bytes>& Sent() const { return card_.received; }
  // PCB of every block the driver sent.
  std::vector<unsigned char> Pcbs() const {
    std::vector<unsigned char> out;
    for (const auto& b : card_.received) out.push_back(b[1]);
    return out;
  }

  ScriptedT1Card card_;
  std::array<unsigned char, T1_MAX_RESPONSE + 16> response_{};
  unsigned int length_ = 0;
};

}  // namespace ttycard::test
