// SPDX-License-Identifier: MIT
// ReceiveBuffer: the 8192-byte receive buffer of one peer connection and the
// cutting of its bytes into messages.
//
// The housekeeping thread reads into space() (at most room() bytes, after the
// bytes kept from the previous read), then calls Take() with the count read.
// Take() hands every whole message to the caller and, when a data message is
// longer than what is at hand, hands the bytes at hand over as one piece of it
// and keeps the 36-byte continuation head that wire::ExtractMessage writes, so
// that the next read appends the following data bytes behind a head whose
// start and length already account for the piece delivered.  A data message of
// up to 4 MiB therefore never has to fit into the buffer, and what is kept
// between reads is always smaller than one fixed-size message (at most 535
// bytes): room() never drops to 0.
//
// Thread safety: none; one connection's buffer belongs to the housekeeping
// thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "p2p/wire/wire_format.h"

namespace brelvane {

class ReceiveBuffer {
 public:
  static constexpr size_t kCapacity = 8192;

  uint8_t* space() { return bytes_.data() + kept_; }
  size_t room() const { return kCapacity - kept_; }
  // Bytes kept from earlier reads (the leftover).
  size_t kept() const { return kept_; }

  // `received` bytes were just written at space().  Calls
  // deliver(const uint8_t* message, size_t length) for every whole message or
  // data piece, in stream order, and keeps what is left for the next read.
  // False when a message failed validation; nothing is kept then.
  template <typename Deliver>
  [[nodiscard]] bool Take(size_t received, Deliver&& deliver) {
    const size_t total = kept_ + received;
    size_t offset = 0;
    for (;;) {
      const wire::Extraction x = wire::ExtractMessage(bytes_.data() + offset, total - offset);
      switch (x.result) {
        case wire::Extract::kNeedMore: {
          kept_ = total - offset;
          if (offset != 0 && kept_ != 0) std::memmove(bytes_.data(), bytes_.data() + offset, kept_);
          return true;
        }
        case wire::Extract::kBad:
          kept_ = 0;
          return false;
        case wire::Extract::kMessage:
          deliver(static_cast<const uint8_t*>(bytes_.data() + offset), x.length);
          offset += x.length;
          break;
        case wire::Extract::kPartialData:
          deliver(static_cast<const uint8_t*>(bytes_.data() + offset), x.length);
          std::memcpy(bytes_.data(), x.continuation.data(), x.continuation.size());
          kept_ = x.continuation.size();
          return true;
      }
    }
  }

 private:
  size_t kept_ = 0;
  std::array<uint8_t, kCapacity> bytes_;
};

}  // namespace brelvane
