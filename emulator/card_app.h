// What sits behind the reader's contacts (CardBackend), and the emulator's
// own card application: a small ISO/IEC 7816-4 file system and a few
// proprietary commands, shared by the T=0 and T=1 paths.
//
// The reader and the T=1 card side only ever talk to a CardBackend: either
// CardApp below, or ViccRelay (vicc_relay.h), which hands every power
// change and APDU to an external virtual card over loopback.
//
// CLA must be 00 or 80; any other class byte gives 6E 00.
//
//   INS  command            behaviour
//   84   GET CHALLENGE      P1P2 00 00, no data; Le bytes (Le 00 = 256) of
//                           pseudo-random data + 90 00. P1P2 != 0 -> 6A 86,
//                           command data -> 67 00.
//   A4   SELECT             P1 00 (by file id) or 04 (by name, the name taken as
//                           a 2-byte file id), 2 data bytes; 90 00, or 6A 82 if
//                           there is no such file; other P1 -> 6A 86; data not 2
//                           bytes -> 67 00. Selecting makes the file current.
//   B0   READ BINARY        offset P1P2 (P1 bit 8 must be 0, else 6A 86) in the
//                           current EF (none or MF current -> 69 86); Le bytes
//                           (00 = 256; extended: up to 65536, 0000 = 65536)
//                           + 90 00; fewer left than Le -> what is
//                           left + 62 82; offset at or beyond the end -> 6B 00.
//   C8   SLOW (proprietary) no data; answers 90 00 after the T=1 card has asked
//                           for P1 waiting-time extensions (P1 00 = the default
//                           count, 3 unless configured) with multiplier P2
//                           (00 = 1). On T=0 it just answers 90 00.
//   EC   ECHO (proprietary) returns the command data, followed by filler bytes
//                           so that the response data is P1P2 bytes long when
//                           P1P2 is larger (capped at 1024 for a short APDU;
//                           extended APDUs carry up to 65535 data bytes and
//                           the cap is 65536, i.e. none), + 90 00. Filler
//                           byte k of the response (k >= data length) is k & FF.
//   other INS               6D 00
//
// APDUs follow ISO/IEC 7816-4 5.1, short and extended: after CLA INS P1 P2
// a single 00 followed by more bytes starts an extended length field,
// 00 Le1 Le2 (case 2E, Le 0000 = 65536), 00 Lc1 Lc2 data (3E) or 00 Lc1 Lc2
// data Le1 Le2 (4E). Extended APDUs only reach the card through T=1.
// Malformed APDUs (shorter than 4 bytes, Lc that does not match the length,
// Lc 0000, a short APDU of 6 bytes with Lc 00) give 67 00.
//
// Files: MF 3F00 (a DF, current after reset); EF 2F00, 300 bytes, byte i is
// FileByte(0x2F00, i) (longer than several T=1 blocks); EF 2F01, 16 bytes,
// the text "TTYCARD EMULATOR"; EF 2F02, 8000 bytes, byte i is
// FileByte(0x2F02, i) (for extended READ BINARY).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "hex_codec.h"

namespace ttycard::emu {

inline constexpr std::uint8_t kInsGetChallenge = 0x84;
inline constexpr std::uint8_t kInsSelect = 0xA4;
inline constexpr std::uint8_t kInsReadBinary = 0xB0;
inline constexpr std::uint8_t kInsSlow = 0xC8;
inline constexpr std::uint8_t kInsEcho = 0xEC;

inline constexpr std::uint16_t kFileMf = 0x3F00;
inline constexpr std::uint16_t kFileLong = 0x2F00;
inline constexpr std::uint16_t kFileShort = 0x2F01;
inline constexpr std::uint16_t kFileLarge = 0x2F02;
inline constexpr std::size_t kEchoMax = 1024;           // short APDUs
inline constexpr std::size_t kEchoMaxExtended = 65536;  // extended APDUs

struct CardResponse {
  Bytes data;
  std::uint16_t sw = 0x9000;
  std::uint8_t wtx_requests = 0;    // T=1: extensions to ask for before answering
  std::uint8_t wtx_multiplier = 1;  // T=1: multiplier of each request
  bool nothing = false;             // no answer at all, not even SW1 SW2: a relayed card hung up

  // Response APDU: data followed by SW1 SW2; empty for `nothing`.
  Bytes Apdu() const;
};

// The card as the reader sees it. Calls come from one thread at a time.
class CardBackend {
 public:
  virtual ~CardBackend() = default;

  // Whether a card sits in the slot as far as the backend knows (a relay
  // without a connected card says no).
  virtual bool Present() { return true; }
  // Cold (warm = false) or warm reset. The card's own ATR, or an empty one
  // when the reader's configured ATR stands; nullopt: the card is mute.
  virtual std::optional<Bytes> PowerUp(bool warm) = 0;
  virtual void PowerDown() {}
  // One command APDU -> the response. Never fails: a card that cannot be
  // reached answers with an error status word.
  virtual CardResponse Process(std::span<const std::uint8_t> apdu) = 0;
};

class CardApp : public CardBackend {
 public:
  explicit CardApp(std::uint32_t seed = 0x2545F491, std::uint8_t slow_wtx_default = 3)
      : seed_(seed), rng_(seed), slow_wtx_default_(slow_wtx_default) {}

  // Power-up: the MF becomes current again, the challenge generator restarts.
  void Reset();
  std::optional<Bytes> PowerUp(bool /*warm*/) override {
    Reset();
    return Bytes{};
  }
  CardResponse Process(std::span<const std::uint8_t> apdu) override;

  // Contents of a transparent EF; empty for unknown ids and for the MF.
  static Bytes FileContent(std::uint16_t fid);
  static std::uint8_t FileByte(std::uint16_t fid, std::size_t offset);

  std::uint16_t CurrentFile() const { return current_; }

 private:
  CardResponse GetChallenge(std::uint16_t p1p2, bool has_data, std::size_t le);
  CardResponse Select(std::uint8_t p1, std::span<const std::uint8_t> data);
  CardResponse ReadBinary(std::uint8_t p1, std::uint8_t p2, std::size_t le);

  std::uint32_t seed_;
  std::uint32_t rng_;
  std::uint8_t slow_wtx_default_;
  std::uint16_t current_ = kFileMf;
};

}  // namespace ttycard::emu
