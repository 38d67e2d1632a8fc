#include "device_model.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "upload.h"

namespace sim {

namespace {

std::string Hex8(uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

}  // namespace

const char* UploadStateName(UploadState state) {
  switch (state) {
    case UploadState::AwaitingStart:
      return "awaiting start byte";
    case UploadState::ReceivingLoader:
      return "receiving loader";
    case UploadState::ReceivingRoutine:
      return "receiving flash routine";
    case UploadState::Accepted:
      return "upload accepted";
    case UploadState::LoaderMismatch:
      return "loader mismatch";
    case UploadState::RoutineMismatch:
      return "flash routine mismatch";
  }
  return "?";
}

DeviceModel::DeviceModel(DeviceConfig config, Flash flash)
    : config_(std::move(config)),
      expectedLoader_(ExpectedLoader(config_.Loader)),
      flash_(std::move(flash)) {
  SetFaults(config_.InitialFaults);
}

void DeviceModel::SetFaults(Faults faults) {
  faults_ = std::move(faults);
  strays_ = faults_.Strays;
  std::stable_sort(strays_.begin(), strays_.end(), [](const StrayByte& a, const StrayByte& b) {
    return a.AfterSent < b.AfterSent;
  });
  // Strays whose moment has passed already stay unsent.
  nextStray_ = 0;
  while (nextStray_ < strays_.size() && strays_[nextStray_].AfterSent < sent_) ++nextStray_;
  CheckLimits(true);
}

void DeviceModel::PowerCycle(bool clearFaults) {
  phase_ = Phase::BootWaitStart;
  upload_ = UploadState::AwaitingStart;
  uploadProblem_.clear();
  uploadIndex_ = 0;
  silent_ = false;
  hangUpDue_ = false;
  sent_ = 0;
  received_ = 0;
  sectorWordsSent_ = 0;
  unansweredStarts_ = 0;
  Event(present_ ? "power cycle: bootstrap loader waits for the start byte"
                 : "power cycle: no board on the line");
  SetFaults(clearFaults ? Faults{} : faults_);
}

void DeviceModel::SetPresent(bool present) {
  present_ = present;
}

void DeviceModel::NoteIgnored(std::span<const uint8_t> in) {
  // Only a chip that never spoke since its power-up is taken as not there;
  // one that fell silent in a job still gets that job's data, zeros included.
  const bool nobodyListens = !present_ || sent_ == 0;
  for (const uint8_t byte : in) {
    if (byte != BootStart) {
      unansweredStarts_ = 0;
    } else if (nobodyListens) {
      ++unansweredStarts_;
    }
  }
}

std::vector<std::string> DeviceModel::TakeEvents() {
  std::vector<std::string> taken;
  taken.swap(events_);
  return taken;
}

std::vector<DeviceModel::Hold> DeviceModel::TakeHolds() {
  std::vector<Hold> taken;
  taken.swap(holds_);
  return taken;
}

void DeviceModel::Event(std::string text) {
  events_.push_back(std::move(text));
}

void DeviceModel::Feed(std::span<const uint8_t> in, std::vector<uint8_t>& out) {
  out_ = &out;
  holds_.clear();
  std::size_t i = 0;
  while (i < in.size()) {
    if (silent_ || !present_) {
      // A dead chip still has the bytes arrive; it just never reacts.
      NoteIgnored(in.subspan(i));
      received_ += in.size() - i;
      break;
    }
    if (phase_ == Phase::Command) {
      // Not a command: the routine keeps waiting, and a start byte finds no
      // loader to answer it.
      unansweredStarts_ = in[i] == BootStart ? unansweredStarts_ + 1 : 0;
    } else if (phase_ != Phase::ProgramData) {
      unansweredStarts_ = 0;
    }
    if (phase_ == Phase::ProgramData) {
      // Sector data comes in bulk; take it in one piece but never past a
      // receive limit, so a fault hits at exactly the byte asked for.
      uint64_t budget = std::numeric_limits<uint64_t>::max();
      for (const auto& limit : {faults_.SilentAfterReceived, faults_.HangUpAfterReceived}) {
        if (limit) budget = std::min(budget, *limit - received_);
      }
      const std::size_t n = TakeProgramData(
          in.subspan(i, static_cast<std::size_t>(std::min<uint64_t>(budget, in.size() - i))));
      received_ += n;
      i += n;
    } else {
      ++received_;
      Step(in[i++]);
    }
    CheckLimits(true);
  }
  out_ = nullptr;
}

void DeviceModel::CheckLimits(bool afterReceiving) {
  const bool wasSilent = silent_;
  auto reached = [](const std::optional<uint64_t>& limit, uint64_t count) {
    return limit && count >= *limit;
  };
  // Receive limits are looked at only once a received byte has been handled,
  // so the replies to the last byte still go out.
  const bool receiveLimit = afterReceiving && (reached(faults_.SilentAfterReceived, received_) ||
                                               reached(faults_.HangUpAfterReceived, received_));
  const bool hangUp = reached(faults_.HangUpAfterSent, sent_) ||
                      (afterReceiving && reached(faults_.HangUpAfterReceived, received_));
  if (reached(faults_.SilentAfterSent, sent_) || reached(faults_.HangUpAfterSent, sent_) ||
      receiveLimit) {
    silent_ = true;
  }
  if (hangUp && !hangUpDue_) {
    Event("fault: download wire pulled");
    hangUpDue_ = true;
  }
  if (silent_ && !wasSilent) {
    Event("fault: device falls silent after " + std::to_string(sent_) + " bytes sent, " +
          std::to_string(received_) + " received");
  }
}

void DeviceModel::Put(uint8_t byte) {
  if (silent_) return;
  out_->push_back(byte);
  ++sent_;
  CheckLimits(false);
}

void DeviceModel::EmitStrays() {
  while (!silent_ && nextStray_ < strays_.size() && strays_[nextStray_].AfterSent <= sent_) {
    Put(strays_[nextStray_++].Value);
  }
}

void DeviceModel::Emit(uint8_t byte) {
  EmitStrays();
  Put(byte);
  EmitStrays();
}

void DeviceModel::Crash(UploadState state, std::string problem) {
  upload_ = state;
  uploadProblem_ = std::move(problem);
  phase_ = Phase::Crashed;
  Event(std::string(UploadStateName(state)) + ": " + uploadProblem_ + "; the chip stays silent");
}

bool DeviceModel::StopFaultHits(StopPhase phase, uint64_t value) {
  for (const StopFault& stop : faults_.Stops) {
    if (stop.Phase != phase || stop.Value != value) continue;
    static const char* const where[] = {"erasing sector", "programming sector",
                                        "reading sectors after words"};
    Event("fault: " + std::string(stop.HangUp ? "download wire pulled" : "device falls silent") +
          " while " + where[static_cast<int>(phase)] + " " + std::to_string(value));
    silent_ = true;
    hangUpDue_ = hangUpDue_ || stop.HangUp;
    return true;
  }
  return false;
}

void DeviceModel::SendFlood() {
  const uint64_t messages = (faults_.FloodBytes + 2) / 3;
  if (messages == 0) return;
  Event("flooding the line with " + std::to_string(messages) + " \"h\" messages");
  // Two decimal digits that count up, so a reader can tell where a tail starts.
  for (uint64_t i = 0; i < messages && !silent_; ++i) {
    Emit(ReplyMessage);
    Emit(static_cast<uint8_t>('0' + i / 10 % 10));
    Emit(static_cast<uint8_t>('0' + i % 10));
  }
}

void DeviceModel::StartRoutine() {
  upload_ = UploadState::Accepted;
  Event("upload accepted: " + std::to_string(config_.Routine.size()) +
        " bytes of flash routine running");
  Emit(ReplyTable);
  Emit(TableAnnounceExtra);
  phase_ = Phase::TableWaitCountRequest;
}

void DeviceModel::SendTableEntry(uint8_t index) {
  // Past the real table (a larger count was injected) the end address repeats.
  const uint32_t entry = index <= SectorCount ? SectorTable[index] : FlashSize;
  Emit(static_cast<uint8_t>(entry >> 24));
  Emit(static_cast<uint8_t>(entry >> 16));
  Emit(static_cast<uint8_t>(entry >> 8));
  Emit(static_cast<uint8_t>(entry));
}

void DeviceModel::SendWord() {
  if (readingSector_) {
    if (StopFaultHits(StopPhase::Read, sectorWordsSent_)) return;
    ++sectorWordsSent_;
  }
  Emit(flash_.At(readPos_));
  Emit(readPos_ + 1 < FlashSize ? flash_.At(readPos_ + 1) : 0xFF);
  readPos_ += 2;
  if (readPos_ >= readEnd_) {
    Emit(ReplyEndOfRead);
    Emit(ReplyReady);
    phase_ = Phase::Command;
  } else {
    Emit(ReplyWordSent);
    phase_ = Phase::ReadWaitNext;
  }
}

std::size_t DeviceModel::TakeProgramData(std::span<const uint8_t> in) {
  const uint32_t size = SectorSize(sector_);
  uint32_t end = size;
  const bool stopsHalfway =
      std::any_of(faults_.Stops.begin(), faults_.Stops.end(), [&](const StopFault& stop) {
        return stop.Phase == StopPhase::Program && stop.Value == uint64_t(sector_);
      });
  if (stopsHalfway && dataOffset_ < size / 2) end = size / 2;
  const std::size_t n = std::min<std::size_t>(in.size(), end - dataOffset_);
  std::span<const uint8_t> data = in.first(n);
  std::vector<uint8_t> flipped;
  for (const BitFlip& flip : faults_.BitFlips) {
    if (flip.Sector != sector_ || flip.Offset < dataOffset_ || flip.Offset >= dataOffset_ + n) {
      continue;
    }
    if (flipped.empty()) flipped.assign(data.begin(), data.end());
    flipped[flip.Offset - dataOffset_] ^= static_cast<uint8_t>(1u << flip.Bit);
    Event("fault: bit " + std::to_string(flip.Bit) + " of address " +
          std::to_string(SectorTable[sector_] + flip.Offset) + " flipped on its way into sector " +
          std::to_string(sector_));
  }
  if (!flipped.empty()) data = flipped;
  // A sector with an injected defect takes nothing at all.
  if (!faults_.FailingSectors.contains(sector_)) {
    if (!flash_.Program(SectorTable[sector_] + dataOffset_, data)) programOk_ = false;
  }
  dataOffset_ += static_cast<uint32_t>(n);
  if (dataOffset_ == size / 2 && stopsHalfway &&
      StopFaultHits(StopPhase::Program, static_cast<uint64_t>(sector_))) {
    return n;
  }
  if (dataOffset_ == size) FinishProgramming();
  return n;
}

void DeviceModel::FinishProgramming() {
  const bool injected = faults_.FailingSectors.contains(sector_);
  const bool ok = programOk_ && !injected;
  Event("program sector " + std::to_string(sector_) +
        (ok         ? ": programmed"
         : injected ? ": failed (injected fault)"
                    : ": failed, a bit would have to go 0 -> 1"));
  Emit(ok ? ReplyProgrammed : ReplyProgramFail);
  Emit(ReplyReady);
  phase_ = Phase::Command;
}

void DeviceModel::Step(uint8_t byte) {
  switch (phase_) {
    case Phase::BootWaitStart:
      // Line noise before the start byte does not wake the loader.
      if (byte == BootStart) {
        Event("bootstrap start byte received");
        upload_ = UploadState::ReceivingLoader;
        uploadIndex_ = 0;
        phase_ = Phase::BootLoader;
        Emit(BootIdentify);
      }
      break;
    case Phase::BootLoader:
      if (byte != expectedLoader_[uploadIndex_]) {
        Crash(UploadState::LoaderMismatch, "loader byte " + std::to_string(uploadIndex_) + " is " +
                                               Hex8(byte) + ", expected " +
                                               Hex8(expectedLoader_[uploadIndex_]));
        break;
      }
      if (++uploadIndex_ == LoaderLength) {
        uploadIndex_ = 0;
        if (config_.Routine.empty()) {
          StartRoutine();
        } else {
          upload_ = UploadState::ReceivingRoutine;
          phase_ = Phase::BootRoutine;
        }
      }
      break;
    case Phase::BootRoutine:
      if (byte != config_.Routine[uploadIndex_]) {
        Crash(UploadState::RoutineMismatch, "flash routine byte " + std::to_string(uploadIndex_) +
                                                " is " + Hex8(byte) + ", expected " +
                                                Hex8(config_.Routine[uploadIndex_]));
        break;
      }
      if (++uploadIndex_ == config_.Routine.size()) StartRoutine();
      break;
    case Phase::Crashed:
      break;
    case Phase::TableWaitCountRequest:
      if (byte == CmdTableCount) {
        const uint8_t count = faults_.TableCount.value_or(DefaultTableCount);
        Emit(count);
        tableEntriesLeft_ = count + 2;
        Emit(TablePrompt);
        phase_ = Phase::TableWaitEntryRequest;
      }
      break;
    case Phase::TableWaitEntryRequest:
      if (byte == CmdTableEntry) phase_ = Phase::TableWaitEntryIndex;
      break;
    case Phase::TableWaitEntryIndex:
      SendTableEntry(byte);
      if (--tableEntriesLeft_ > 0) {
        Emit(TablePrompt);
        phase_ = Phase::TableWaitEntryRequest;
      } else {
        if (config_.Message) {
          Emit(ReplyMessage);
          Emit((*config_.Message)[0]);
          Emit((*config_.Message)[1]);
        }
        SendFlood();
        Emit(ReplyReady);
        phase_ = Phase::Command;
      }
      break;
    case Phase::Command:
      switch (byte) {
        case CmdErase:
          phase_ = Phase::EraseSector;
          break;
        case CmdProgram:
          phase_ = Phase::ProgramSector;
          break;
        case CmdReadSector:
          phase_ = Phase::ReadSector;
          break;
        case CmdReadAddress:
          address_ = 0;
          addressBytes_ = 0;
          phase_ = Phase::ReadAddress;
          break;
        default:
          break;  // not a command; the routine keeps waiting
      }
      break;
    case Phase::EraseSector:
      phase_ = Phase::Command;
      // An unknown sector makes the routine drop the command without a reply.
      if (byte >= SectorCount) {
        Event("erase command for sector " + std::to_string(byte) + " ignored: no such sector");
        break;
      }
      flash_.Erase(byte);
      Event("erase sector " + std::to_string(byte));
      if (StopFaultHits(StopPhase::Erase, byte)) break;
      if (faults_.EraseMs > 0) holds_.push_back({out_->size(), faults_.EraseMs});
      Emit(ReplyErased);
      Emit(ReplyReady);
      break;
    case Phase::ProgramSector:
      if (byte >= SectorCount) {
        Event("program command for sector " + std::to_string(byte) + " ignored: no such sector");
        phase_ = Phase::Command;
        break;
      }
      sector_ = byte;
      dataOffset_ = 0;
      programOk_ = true;
      phase_ = Phase::ProgramData;
      break;
    case Phase::ProgramData:
      TakeProgramData(std::span(&byte, 1));
      break;
    case Phase::ReadSector:
      if (byte >= SectorCount) {
        Event("read command for sector " + std::to_string(byte) + " ignored: no such sector");
        phase_ = Phase::Command;
        break;
      }
      Event("read sector " + std::to_string(byte));
      readPos_ = SectorTable[byte];
      readEnd_ = SectorTable[byte + 1];
      readingSector_ = true;
      phase_ = Phase::ReadWaitFirst;
      break;
    case Phase::ReadAddress:
      address_ = (address_ << 8) | byte;
      if (++addressBytes_ < 3) break;
      if (address_ >= FlashSize) {
        Event("read command for address " + std::to_string(address_) + " ignored: past the flash");
        phase_ = Phase::Command;
        break;
      }
      Event("read from address " + std::to_string(address_));
      readPos_ = address_;
      readEnd_ = FlashSize;
      readingSector_ = false;
      phase_ = Phase::ReadWaitFirst;
      break;
    case Phase::ReadWaitFirst:
    case Phase::ReadWaitNext:
      if (byte == CmdNextWord) {
        SendWord();
      } else if (byte == CmdStop) {
        Emit(ReplyReady);
        phase_ = Phase::Command;
      }
      break;
  }
}

}  // namespace sim
