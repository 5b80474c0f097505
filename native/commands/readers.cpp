// Reader discovery and status: group and reader lists, card status, reader state changes.
#include <algorithm>
#include <cstring>
#include <string>

#include "commands/cells.h"
#include "commands/commands.h"
#include "commands/service_memory.h"
#include "host/encodings.h"
#include "host/reply.h"
#include "pcsc/service.h"

namespace commands {

using host::ByteBuffer;
using host::g_handleSlots;

namespace {
const std::string kEmptyText;
}  // namespace

void ListReaderGroups(host::Turn& turn) {
  host::ReadHandleBytes(turn.request, host::kByteKeysS, g_cells.listReaderGroups);
  int32_t ignored = 0;
  host::ReadNumber(turn.request, "m", ignored);
  host::CopyHandleBytes(g_cells.listReaderGroups, g_handleSlots.context);

  ServiceMemory groups;
  pcsc::Word length = pcsc::kAutoAllocate;
  host::SendHeldReplies(turn);
  const pcsc::Result result =
      pcsc::ListReaderGroups(g_handleSlots.context, &groups.pointer, &length);
  host::BeginReply(turn, "SCardListReaderGroupsA", result);
  host::AddByteListMember(turn, "mszGroups", groups.bytes(), groups.Listed(length));
  host::AddNumberMember(turn, "cchGroups", length);
  host::SendReply(turn);
}

void ListReaders(host::Turn& turn) {
  ListReadersCells& cells = g_cells.listReaders;
  host::ReadHandleBytes(turn.request, host::kByteKeysS, cells.handle);
  const std::string* groupsText = host::ReadText(turn.request, "m");
  host::ReadNumber(turn.request, "k", cells.groupsLength);
  int32_t ignored = 0;
  host::ReadNumber(turn.request, "t", ignored);
  host::CopyHandleBytes(cells.handle, g_handleSlots.context);

  // The filter is a multi-string that the service reads up to its double NUL; two zero bytes
  // beyond the client's "k" bytes make sure that end lies inside the buffer.
  ByteBuffer filter;
  if (cells.groupsLength > 0) {
    filter = host::ByteListInput(groupsText != nullptr ? groupsText : &kEmptyText,
                                 int64_t{cells.groupsLength} + 2);
    if (filter.data) {
      filter.data[filter.size - 2] = 0;
      filter.data[filter.size - 1] = 0;
    }
  }
  ServiceMemory readers;
  pcsc::Word length = pcsc::kAutoAllocate;
  host::SendHeldReplies(turn);
  const pcsc::Result result =
      pcsc::ListReaders(g_handleSlots.context, reinterpret_cast<const char*>(filter.data.get()),
                        &readers.pointer, &length);
  if (readers.pointer == nullptr) length = 0;

  host::BeginReply(turn, "SCardListReadersA", result);
  host::AddNumberMember(turn, "cchReaders", length);
  host::AddByteListMember(turn, "mszReaders", readers.bytes(), readers.Listed(length));
  host::SendReply(turn);
}

void Status(host::Turn& turn) {
  StatusCells& cells = g_cells.status;
  host::ReadHandleBytes(turn.request, host::kByteKeysS, cells.handle);
  host::ReadNumber(turn.request, "w", cells.namesLength);
  host::ReadNumber(turn.request, "g", cells.atrLength);
  host::CopyHandleBytes(cells.handle, g_handleSlots.card);

  const pcsc::Word namesOffered = cells.namesLength;
  const pcsc::Word atrOffered = cells.atrLength;
  // Names: none for a length query, the service's memory for autoallocation, otherwise a real
  // buffer of the length offered.
  ServiceMemory allocatedNames;
  ByteBuffer namesBuffer;
  void* namesArgument = nullptr;
  if (namesOffered == pcsc::kAutoAllocate) {
    namesArgument = &allocatedNames.pointer;
  } else if (namesOffered != 0) {
    namesBuffer = host::AllocateZeroed(namesOffered);
    namesArgument = namesBuffer.data.get();
    if (namesArgument == nullptr) cells.namesLength = 0;  // out of memory: the length only
  }
  // The ATR buffer starts clean for every call, and the capacity offered never exceeds it.
  uint8_t atr[pcsc::kAtrBufferSize] = {};
  if (cells.atrLength > sizeof atr) cells.atrLength = sizeof atr;
  pcsc::Word state = 0;
  pcsc::Word protocol = 0;

  host::SendHeldReplies(turn);
  const pcsc::Result result =
      pcsc::Status(g_handleSlots.card, namesArgument, &cells.namesLength, &state, &protocol,
                   atrOffered != 0 ? atr : nullptr, &cells.atrLength);

  const uint8_t* names = nullptr;
  int64_t namesListed = 0;
  if (allocatedNames.pointer != nullptr) {
    names = allocatedNames.bytes();
    namesListed = allocatedNames.Listed(cells.namesLength);
  } else if (namesBuffer.data) {
    names = namesBuffer.data.get();
    namesListed = host::ListedBytes(cells.namesLength, namesBuffer);
  }
  host::BeginReply(turn, "SCardStatusA", result);
  host::AddByteListMember(turn, "mszReaderNames", names, namesListed);
  host::AddNumberMember(turn, "cchReaderLen", cells.namesLength);
  host::AddNumberMember(turn, "dwState", state);
  host::AddNumberMember(turn, "dwProtocol", protocol);
  host::AddByteListMember(turn, "pbAtr", atrOffered != 0 ? atr : nullptr,
                          std::min<int64_t>(cells.atrLength, sizeof atr));
  host::AddNumberMember(turn, "cbAtrLen", cells.atrLength);
  host::SendReply(turn);
}

void GetStatusChange(host::Turn& turn) {
  GetStatusChangeCells& cells = g_cells.getStatusChange;
  host::ReadHandleBytes(turn.request, host::kByteKeysS, cells.handle);
  host::ReadNumber(turn.request, "m", cells.timeout);
  const std::string* recordsText = host::ReadText(turn.request, "k");
  host::ReadNumber(turn.request, "w", cells.count);
  host::CopyHandleBytes(cells.handle, g_handleSlots.context);

  // The array size is computed in 64 bits. The reply lists the whole array, so one above what a
  // reply may list (which also keeps it within a 32-bit signed size), or one that memory cannot
  // hold, leaves no records to pass and the service reports the count.
  const int64_t size = int64_t{cells.count} * int64_t{pcsc::kWireReaderStateSize};
  ByteBuffer records;
  if (size <= int64_t{host::kMaxListedBytes}) {
    records = host::ByteListInput(recordsText != nullptr ? recordsText : &kEmptyText, size);
  }
  host::SendHeldReplies(turn);
  const pcsc::Result result =
      pcsc::GetStatusChange(g_handleSlots.context, cells.timeout, records.data.get(), cells.count);

  host::BeginReply(turn, "SCardGetStatusChangeA", result);
  host::AddByteListMember(turn, "rgReaderStates", records.data.get(),
                          static_cast<int64_t>(records.size));
  host::AddNumberMember(turn, "cReaders", cells.count);
  host::SendReply(turn);
}

}  // namespace commands
