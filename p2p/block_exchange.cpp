// SPDX-License-Identifier: MIT
#include "p2p/block_exchange.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "base/file_log.h"
#include "catalogue/md5_lanes.h"
#include "storage/buffer_pool.h"

namespace brelvane {
namespace {

constexpr uint32_t kRoleDownloader = 0;  // the sender wants to download from us
constexpr uint32_t kRoleUploader = 1;    // the sender will upload to us

// Tells the engine what each committed peer write added to the verified
// data, and holds the claim on the part until storage is done with the block.
class CommitObserver : public IWriteObserver {
 public:
  CommitObserver(std::function<void(uint32_t)> on_committed, BlockHandle keep)
      : on_committed_(std::move(on_committed)), keep_(std::move(keep)) {}
  void OnVerifiedBytes(uint32_t count) override {
    if (on_committed_) on_committed_(count);
  }
  void OnNothingVerified() override {}
  void Destroy() override { delete this; }

 private:
  std::function<void(uint32_t)> on_committed_;
  BlockHandle keep_;
};

int AsInt(uint32_t value) { return static_cast<int>(value); }

// Where a data piece goes: its file offset when the piece belongs to the part
// attached to its sender and lies inside it, with a head that agrees with
// itself (what is left of the message is what is left of the part from the
// piece's start); none otherwise.
std::optional<uint64_t> PieceOffset(const BlockHandle& block, const wire::PartDescriptor& head,
                                    uint32_t message_length, uint32_t data) {
  if (!block.IsValid() || head.file_id != block.FileId() || head.part_id != block.Part() ||
      head.length != block.PartLength()) {
    return std::nullopt;
  }
  // Starts are the low 32 bits of file offsets: compare them modulo 2^32.
  const uint64_t part_offset = block.PartOffset();
  const uint32_t into_part = head.start - static_cast<uint32_t>(part_offset);
  if (into_part > head.length || data > head.length - into_part) return std::nullopt;
  if (message_length < 16 || message_length - 16 != head.length - into_part) return std::nullopt;
  return part_offset + into_part;
}

}  // namespace

BlockExchange::BlockExchange(BlockExchangeLinks links) : links_(std::move(links)) {}

void BlockExchange::OnPeerMessage(const PeerAddress& peer, const uint8_t* message, size_t n) {
  if (message == nullptr || n < wire::kHeaderSize) return;
  const wire::MsgHeader h = wire::DecodeHeader(message);
  const auto fits = [&](size_t size) {
    if (n == size) return true;
    Log2("Peer message %d of %d bytes from %s ignored", static_cast<int>(h.type),
         static_cast<int>(n), peer.ToString().c_str());
    return false;
  };
  switch (h.type) {
    case wire::kHello:
      if (fits(wire::kHelloSize)) OnHello(peer, h.user_id, wire::DecodeHello(message));
      break;
    case wire::kRequest:
      if (fits(wire::kRequestSize)) OnRequest(peer, h.user_id, wire::DecodePartMessage(message));
      break;
    case wire::kRespond:
      if (fits(wire::kRespondSize)) {
        OnRespond(peer, h.user_id, wire::DecodeRespondStatus(message),
                  wire::DecodeRespondPart(message));
      }
      break;
    case wire::kStart:
      if (fits(wire::kStartSize)) OnStart(peer, h.user_id, wire::DecodePartMessage(message));
      break;
    case wire::kData:
      OnData(peer, message, n);
      break;
    case wire::kAskFileReport:
      if (fits(wire::kReportSize)) OnAskFileReport(peer, wire::DecodeReport(message));
      break;
    case wire::kReqFileReport:
      if (fits(wire::kReportSize)) OnReqFileReport(peer, h.user_id, wire::DecodeReport(message));
      break;
    case wire::kResetState:
      if (fits(wire::kHeaderSize)) OnResetState(peer);
      break;
    default:
      break;
  }
}

void BlockExchange::OnPeerClosed(const PeerAddress& peer, CloseReason /*reason*/) {
  // Verified-in-range data received before the close still goes to storage,
  // as each piece did before it was gathered.
  FlushGathered(peer);
  if (!links_.upload_table.RemoveByAddress(peer)) links_.download_table.RemoveByAddress(peer);
}

// --- handlers ---

void BlockExchange::OnHello(const PeerAddress& peer, int32_t user_id, uint32_t role) {
  if (role == kRoleDownloader) {
    UserTable& table = links_.upload_table;
    if (static_cast<int64_t>(table.Size()) < links_.settings.MaxUploadNum.load() &&
        !table.Contains(user_id)) {
      table.Add(user_id, peer, UserState::kBeforeUpload);
    } else {
      links_.link.ClosePeer(peer);
    }
  } else if (role == kRoleUploader) {
    UserTable& table = links_.download_table;
    if (static_cast<int64_t>(table.Size()) < links_.settings.MaxDownloadNum.load() &&
        !table.Contains(user_id)) {
      table.Add(user_id, peer, UserState::kBeforeDownLoad);
      links_.stats.RecordAddress(user_id, peer);
    } else {
      links_.link.ClosePeer(peer);
    }
  }
}

void BlockExchange::OnRequest(const PeerAddress& peer, int32_t user_id,
                              const wire::PartDescriptor& part) {
  uint32_t status = kRespondRefused;
  const std::optional<UserRecord> user = Sender(links_.upload_table, user_id, peer);
  if (user && user->state == UserState::kBeforeUpload) {
    if (!HoldsPart(part.file_id, part.part_id)) {
      status = kRespondNotHeld;
    } else if (static_cast<int64_t>(links_.jobs.Size()) >= links_.settings.MaxWaitTask) {
      status = kRespondRefused;
    } else {
      status = kRespondAccepted;
      links_.upload_table.SetState(user_id, UserState::kUploadInit);
    }
  }
  Send(peer, wire::BuildRespond(links_.headers.NextHeader(), status, part));
}

void BlockExchange::OnRespond(const PeerAddress& peer, int32_t user_id, uint32_t status,
                              const wire::PartDescriptor& part) {
  const std::optional<UserRecord> user = Sender(links_.download_table, user_id, peer);
  if (!user) return;
  links_.stats.Touch(user_id);
  // Only the answer to the request this user has outstanding counts.
  if (user->state != UserState::kDownloadReq || !user->block.IsValid() ||
      user->block.FileId() != part.file_id || user->block.Part() != part.part_id) {
    return;
  }
  const PartKey key{part.file_id, part.part_id};
  if (status == kRespondAccepted) {
    links_.stats.CountAnswer(user_id, true);
    if (links_.file_system.IsPartVerified(part.file_id, part.part_id)) {
      Log5("Respond OK from %d, UID %d.%d . Already Done ", user_id, AsInt(part.file_id),
           AsInt(part.part_id));
      Send(peer, wire::BuildHeaderOnly(links_.headers.NextHeader(), wire::kResetState));
      links_.download_table.DropAdvertised(user_id, key);
      links_.download_table.SetState(user_id, UserState::kBeforeDownLoad);
      links_.acquire_wake.Set();
    } else {
      Log5("Respond OK from %d, UID %d.%d . Ready ", user_id, AsInt(part.file_id),
           AsInt(part.part_id));
      links_.download_table.SetState(user_id, UserState::kDownloadInit);
      Send(peer, wire::BuildPartMessage(links_.headers.NextHeader(), wire::kStart, part));
    }
    return;
  }
  if (status == kRespondNotHeld) {
    links_.download_table.DropAdvertised(user_id, key);
    AskForReport(peer);
    links_.stats.CountAnswer(user_id, false);
  }
  // Status 1, 2, or a status no peer should send: the request failed.
  Log5("Respond FAIL from %d, UID %d.%d ", user_id, AsInt(part.file_id), AsInt(part.part_id));
  links_.download_table.SetState(user_id, UserState::kBeforeDownLoad);
}

void BlockExchange::OnStart(const PeerAddress& peer, int32_t user_id,
                            const wire::PartDescriptor& part) {
  if (!Sender(links_.upload_table, user_id, peer)) return;
  links_.upload_table.SetState(user_id, UserState::kWaitForUpload);
  if (!links_.jobs.Push(UploadJob{user_id, part})) {
    Log2("Upload job list full, start from %d dropped", user_id);
    links_.upload_table.SetState(user_id, UserState::kBeforeUpload);
  }
}

void BlockExchange::OnData(const PeerAddress& peer, const uint8_t* message, size_t n) {
  const wire::MsgHeader h = wire::DecodeHeader(message);
  std::optional<UserRecord> user = links_.download_table.Peek(h.user_id);
  if (!user || !(user->address == peer)) return;
  links_.stats.Touch(user->id);
  const UserState state = user->state;
  if (state != UserState::kDownloadInit && state != UserState::kDownloading) return;

  const bool has_head = n >= wire::kDataHeadSize && n - wire::kHeaderSize <= h.length;
  const wire::PartDescriptor head =
      has_head ? wire::DecodePartMessage(message) : wire::PartDescriptor{};
  const uint32_t data = has_head ? static_cast<uint32_t>(n - wire::kDataHeadSize) : 0;
  const std::optional<uint64_t> offset =
      has_head ? PieceOffset(user->block, head, h.length, data) : std::nullopt;
  if (!offset) {
    Log2("Data outside the requested part from %d, UID %d.%d, Start: %u, Length: %u; closing",
         user->id, AsInt(head.file_id), AsInt(head.part_id), head.start, data);
    gathered_.erase(peer);
    links_.download_table.Remove(user->id);
    links_.link.ClosePeer(peer);
    return;
  }
  const uint8_t* bytes = message + wire::kDataHeadSize;
  const bool completes = n >= static_cast<uint64_t>(h.length) + wire::kHeaderSize;
  const int file_id = AsInt(head.file_id);
  const int part_id = AsInt(head.part_id);

  if (state == UserState::kDownloadInit) {
    Log5("Receiving from %d, UID %d.%d ...", user->id, file_id, part_id);
    Log4("Recv: UID:%d.%d, Start:%d, Length:%d", file_id, part_id, AsInt(head.start), AsInt(data));
    if (data > 0) {
      Gather(peer, head.file_id, head.part_id, bytes, data, h.length - 16, *offset,
             completes ? &user->block : nullptr);
      if (completes) {
        Log5("Receive done from %d, UID %d.%d ...", user->id, file_id, part_id);
        FinishPart(*user, data);
      } else {
        links_.download_table.SetState(user->id, UserState::kDownloading);
      }
    } else if (head.length == 0) {
      FlushGathered(peer);
      CommitBlock(head.file_id, OwnedBlock(BufferPool::Take(0), 0, *offset), user->block);
      FinishPart(*user, 0);
    } else {
      links_.download_table.SetState(user->id, UserState::kDownloading);
    }
    return;
  }

  if (data > 0) {
    Gather(peer, head.file_id, head.part_id, bytes, data, h.length - 16, *offset,
           completes ? &user->block : nullptr);
  }
  Log4("Recv: UID:%d.%d, Start:%d, Length:%d", file_id, part_id, AsInt(head.start), AsInt(data));
  if (completes) {
    Log5("Receive done from %d, UID %d.%d ...", user->id, file_id, part_id);
    FinishPart(*user, data);
  } else {
    links_.stats.AddBytes(user->id, data, false);
  }
}

void BlockExchange::OnAskFileReport(const PeerAddress& peer, const wire::Report& asked) {
  wire::Report report;
  std::set<PartKey> listed;
  const auto add = [&](uint32_t file_id, uint32_t part_id) {
    if (!listed.insert(PartKey{file_id, part_id}).second) return;
    report.entries[static_cast<size_t>(report.count++)] = LocalPart(file_id, part_id);
  };
  const int32_t count = std::clamp<int32_t>(asked.count, 0, wire::kReportEntries);
  for (int32_t i = 0; i < count; ++i) {
    const wire::PartDescriptor& e = asked.entries[static_cast<size_t>(i)];
    if (HoldsPart(e.file_id, e.part_id)) add(e.file_id, e.part_id);
  }
  const auto room = static_cast<uint32_t>(wire::kReportEntries - report.count);
  if (room > 0) {
    PartRecord held[wire::kReportEntries];
    const uint32_t found = links_.file_system.CollectHeldParts(room, held);
    for (uint32_t i = 0; i < found && i < room; ++i) add(held[i].file_id, held[i].part_id);
  }
  if (report.count > 0) {
    Send(peer, wire::BuildReport(links_.headers.NextHeader(), wire::kReqFileReport, report));
  }
}

void BlockExchange::OnReqFileReport(const PeerAddress& peer, int32_t user_id,
                                    const wire::Report& report) {
  int32_t count = report.count;
  if (count > static_cast<int32_t>(wire::kReportEntries)) {
    Log2("OnReqFileReport filePartNum too big.");
    count = wire::kReportEntries;
  }
  AdvertisedSet parts;
  for (int32_t i = 0; i < count; ++i) {
    const wire::PartDescriptor& e = report.entries[static_cast<size_t>(i)];
    if (NeedsPart(e.file_id, e.part_id)) parts.insert(PartKey{e.file_id, e.part_id});
  }
  if (!Sender(links_.download_table, user_id, peer)) return;
  const size_t reported = parts.size();
  links_.download_table.ReplaceAdvertised(user_id, std::move(parts));
  Log5("OnReqFileReport user %d, %d part reported", user_id, static_cast<int>(reported));
}

void BlockExchange::OnResetState(const PeerAddress& peer) {
  if (const std::optional<int32_t> id = links_.upload_table.FindByAddress(peer)) {
    links_.upload_table.SetState(*id, UserState::kBeforeUpload);
    return;
  }
  const std::optional<int32_t> id = links_.download_table.FindByAddress(peer);
  if (!id) return;
  if (const std::optional<UserRecord> user = links_.download_table.Get(*id)) {
    Log5("OnResetState user:%d UID:%d.%d", *id, AsInt(user->block.FileId()),
         AsInt(user->block.Part()));
  }
  links_.download_table.SetState(*id, UserState::kBeforeDownLoad);
}

// --- helpers ---

std::optional<UserRecord> BlockExchange::Sender(const UserTable& table, int32_t user_id,
                                                const PeerAddress& peer) {
  std::optional<UserRecord> user = table.Get(user_id);
  if (user && !(user->address == peer)) return std::nullopt;
  return user;
}

bool BlockExchange::HoldsPart(uint32_t file_id, uint32_t part_id) const {
  // False for a file or part the local file list does not have.
  return links_.file_system.IsPartVerified(file_id, part_id);
}

bool BlockExchange::NeedsPart(uint32_t file_id, uint32_t part_id) const {
  const File* file = links_.file_system.GetFile(file_id);
  return file != nullptr && part_id < file->PartCount() &&
         links_.file_system.IsPartFree(file_id, part_id);
}

wire::PartDescriptor BlockExchange::LocalPart(uint32_t file_id, uint32_t part_id) const {
  const PartBuffer* part = links_.file_system.GetFile(file_id)->GetPart(part_id);
  return wire::PartDescriptor{file_id, part_id, static_cast<uint32_t>(part->Offset()),
                              part->Length()};
}

void BlockExchange::AskForReport(const PeerAddress& peer) {
  PartRecord needed[wire::kReportEntries];
  const uint32_t found = links_.file_system.GetRandomFreeBlocks(wire::kReportEntries, needed);
  if (found == 0) return;
  wire::Report report;
  for (uint32_t i = 0; i < found && i < wire::kReportEntries; ++i) {
    report.entries[i] = wire::PartDescriptor{needed[i].file_id, needed[i].part_id,
                                             needed[i].offset, needed[i].length};
    report.count = static_cast<int32_t>(i + 1);
  }
  Send(peer, wire::BuildReport(links_.headers.NextHeader(), wire::kAskFileReport, report));
}

void BlockExchange::Gather(const PeerAddress& peer, uint32_t file_id, uint32_t part_id,
                           const uint8_t* data, uint32_t length, uint32_t part_left,
                           uint64_t offset, const BlockHandle* last) {
  Gathered* g = &gathered_[peer];
  if (g->size > 0 && (g->file_id != file_id || g->part_id != part_id ||
                      g->offset + g->size != offset || g->capacity - g->size < length)) {
    FlushGathered(peer);
    g = &gathered_[peer];
  }
  if (g->size == 0) {
    // Sized for what this part can still bring, so that a whole part of up
    // to kCommitChunk bytes arrives in one block and is hashed as one.
    g->capacity = std::max(length, std::min(part_left, kCommitChunk));
    g->buffer = BufferPool::Take(g->capacity);
    g->file_id = file_id;
    g->part_id = part_id;
    g->offset = offset;
  }
  std::memcpy(g->buffer.get() + g->size, data, length);
  g->size += length;
  if (last != nullptr || g->size == g->capacity) FlushGathered(peer, last);
}

void BlockExchange::FlushGathered(const PeerAddress& peer, const BlockHandle* keep) {
  auto it = gathered_.find(peer);
  if (it == gathered_.end()) return;
  Gathered g = std::move(it->second);
  gathered_.erase(it);
  if (g.size > 0) {
    CommitBlock(g.file_id, OwnedBlock(std::move(g.buffer), g.size, g.offset),
                keep != nullptr ? *keep : BlockHandle());
  }
}

void BlockExchange::CommitBlock(uint32_t file_id, OwnedBlock block, BlockHandle keep) {
  const File* file = links_.file_system.GetFile(file_id);
  const uint32_t part_size = file == nullptr ? 0 : file->PartSize();
  if (part_size == 0 || block.length() != part_size || block.offset() % part_size != 0) {
    Store(file_id, std::move(block), std::move(keep), true);
    return;
  }
  std::vector<Pending> batch;
  {
    std::lock_guard<std::mutex> lock(pending_mu_);
    pending_.push_back(Pending{file_id, std::move(block), std::move(keep)});
    holding_.store(true, std::memory_order_relaxed);
    if (pending_.size() < kMd5Lanes) return;
    batch.swap(pending_);
    holding_.store(false, std::memory_order_relaxed);
  }
  StoreBatch(batch);
}

void BlockExchange::CommitPending() {
  std::vector<Pending> batch;
  {
    std::lock_guard<std::mutex> lock(pending_mu_);
    batch.swap(pending_);
    holding_.store(false, std::memory_order_relaxed);
  }
  StoreBatch(batch);
}

void BlockExchange::StoreBatch(std::vector<Pending>& batch) {
  // The batch never holds more than kMd5Lanes parts (CommitBlock lets it go at that).
  uint32_t ids[kMd5Lanes];
  OwnedBlock* blocks[kMd5Lanes];
  for (size_t i = 0; i < batch.size(); ++i) {
    ids[i] = batch[i].file_id;
    blocks[i] = &batch[i].block;
  }
  links_.file_system.CheckWholeParts(ids, blocks, batch.size());
  for (Pending& p : batch) Store(p.file_id, std::move(p.block), std::move(p.keep), false);
}

void BlockExchange::Store(uint32_t file_id, OwnedBlock block, BlockHandle keep, bool check) {
  if (check) links_.file_system.CheckWholeParts(file_id, &block, 1);
  IWriteObserver* observer = links_.on_committed || keep.IsValid()
                                 ? new CommitObserver(links_.on_committed, std::move(keep))
                                 : nullptr;
  // A refused write is dropped and the protocol goes on as if it had been
  // written: the part stays incomplete, and becomes free again when the
  // sender's attachment is dropped.
  if (!links_.file_system.CommitBlock(file_id, std::move(block), observer)) {
    Log2("FileSystem busy, write failed");
  }
}

void BlockExchange::Send(const PeerAddress& peer, const std::vector<uint8_t>& message) {
  // A failed send is noticed by the receive side, which closes the connection.
  (void)links_.link.SendToPeer(peer, message.data(), message.size(), false, nullptr);
}

void BlockExchange::FinishPart(const UserRecord& user, uint32_t bytes) {
  links_.download_table.SetState(user.id, UserState::kBeforeDownLoad);
  links_.acquire_wake.Set();
  links_.stats.AddBytes(user.id, bytes, true);
}

}  // namespace brelvane
