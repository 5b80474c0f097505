// Card data exchange: transmit, reader control and reader attributes.
#include <algorithm>
#include <string>

#include "commands/cells.h"
#include "commands/commands.h"
#include "commands/service_memory.h"
#include "host/encodings.h"
#include "host/end_host.h"
#include "host/reply.h"
#include "pcsc/records.h"
#include "pcsc/service.h"

namespace commands {

using host::ByteBuffer;
using host::g_handleSlots;

namespace {

const std::string kEmptyText;

// A Text argument that may say "NULL" for no buffer; an absent key is the empty text, which
// still gives a zero-filled buffer of the stated length.
ByteBuffer BufferFromText(const std::string* text, int32_t length) {
  if (host::IsNullText(text)) return ByteBuffer{};
  return host::ByteListInput(text != nullptr ? text : &kEmptyText, length);
}

// How many of the reported bytes really are in the buffer: a service that claims more than the
// buffer holds is never read past.
int64_t Listed(uint32_t reported, const ByteBuffer& buffer) {
  return host::ListedBytes(reported, buffer);
}

}  // namespace

void Transmit(host::Turn& turn) {
  TransmitCells& cells = g_cells.transmit;
  const host::Request& request = turn.request;
  host::ReadHandleBytes(request, host::kByteKeysS, cells.handle);
  const std::string* sendPciText = host::ReadText(request, "w");
  host::ReadNumber(request, "n", cells.sendPciLength);
  const std::string* sendText = host::ReadText(request, "g");
  host::ReadNumber(request, "q", cells.sendLength);
  const std::string* recvPciText = host::ReadText(request, "m");
  host::ReadNumber(request, "d", cells.recvPciLength);
  host::ReadNumber(request, "f", cells.recvLength);
  host::ReadNumber(request, "t", cells.noRecvBuffer);
  host::CopyHandleBytes(cells.handle, g_handleSlots.card);

  const ByteBuffer send = BufferFromText(sendText, cells.sendLength);
  const ByteBuffer sendPci = BufferFromText(sendPciText, cells.sendPciLength);
  ByteBuffer recvPci = BufferFromText(recvPciText, cells.recvPciLength);
  ByteBuffer recv;
  pcsc::Word recvLength = 0;
  if (cells.recvLength != 0 && cells.noRecvBuffer == 0) {
    recv = host::AllocateZeroed(cells.recvLength);
    // Without a buffer the service still hears the length asked for and reports the failure.
    recvLength = cells.recvLength;
  }

  host::SendHeldReplies(turn);
  const pcsc::Result result =
      pcsc::Transmit(g_handleSlots.card, sendPci.data.get(), sendPci.size, send.data.get(),
                     static_cast<pcsc::Word>(cells.sendLength), recvPci.data.get(), recvPci.size,
                     recv.data.get(), &recvLength);

  // The receive record's cbPciLength becomes the next request's receive PCI length; a record
  // too short to hold the field leaves the length as the request gave it.
  if (recvPci.size >= pcsc::kWirePciHeaderSize) {
    cells.recvPciLength = static_cast<int32_t>(pcsc::LoadLe32(recvPci.data.get() + 4));
  }
  const uint32_t pciLength = static_cast<uint32_t>(cells.recvPciLength);

  host::BeginReply(turn, "SCardTransmit", result);
  host::AddByteListMember(turn, "pioRecvPci", recvPci.data.get(), Listed(pciLength, recvPci));
  host::AddNumberMember(turn, "cbPciLength", pciLength);
  host::AddByteListMember(turn, "pbRecvBuffer", recv.data.get(), Listed(recvLength, recv));
  host::AddNumberMember(turn, "cbRecvLength", recvLength);
  host::SendReply(turn);
}

void Control(host::Turn& turn) {
  ControlCells& cells = g_cells.control;
  const host::Request& request = turn.request;
  host::ReadHandleBytes(request, host::kByteKeysS, cells.handle);
  host::ReadNumber(request, "w", cells.code);
  const std::string* inText = host::ReadText(request, "g");
  host::ReadNumber(request, "q", cells.inLength);
  host::ReadNumber(request, "m", cells.outLength);
  host::CopyHandleBytes(cells.handle, g_handleSlots.card);

  const ByteBuffer in = BufferFromText(inText, cells.inLength);
  ByteBuffer out = host::AllocateZeroed(cells.outLength);
  // An output size of 0 still passes a real, empty buffer.
  uint8_t emptyOutput[1] = {};
  uint8_t* outArgument = cells.outLength == 0 ? emptyOutput : out.data.get();
  pcsc::Word bytesReturned = cells.outLength;

  host::SendHeldReplies(turn);
  const pcsc::Result result = pcsc::Control(g_handleSlots.card, cells.code, in.data.get(),
                                            static_cast<pcsc::Word>(cells.inLength), outArgument,
                                            cells.outLength, &bytesReturned);

  host::BeginReply(turn, "SCardControl", result);
  host::AddByteListMember(turn, "pvOutBuffer", out.data.get(), Listed(bytesReturned, out));
  host::AddNumberMember(turn, "cbOutBufferSize", bytesReturned);
  host::SendReply(turn);
}

namespace {
// Attributes of this length or more are reported by length only.
constexpr uint32_t kAttributeListLimit = 65560;
}  // namespace

void GetAttrib(host::Turn& turn) {
  GetAttribCells& cells = g_cells.getAttrib;
  const host::Request& request = turn.request;
  host::ReadHandleBytes(request, host::kByteKeysS, cells.handle);
  host::ReadNumber(request, "g", cells.attributeId);
  host::ReadNumber(request, "q", cells.noBuffer);
  host::ReadNumber(request, "m", cells.length);
  host::CopyHandleBytes(cells.handle, g_handleSlots.card);

  pcsc::Word length = 0;
  ServiceMemory allocated;
  ByteBuffer buffer;
  void* bufferArgument = nullptr;
  if (cells.noBuffer == 0) {
    length = cells.length;
    if (length == pcsc::kAutoAllocate) {
      bufferArgument = &allocated.pointer;
    } else if (length != 0) {
      buffer = host::AllocateZeroed(length);
      // The one place where the host gives up: an attribute buffer that the system cannot
      // give ends it.
      if (!buffer.data) host::EndHost(static_cast<int>(0x80100006u));
      bufferArgument = buffer.data.get();
    }
  }

  host::SendHeldReplies(turn);
  const pcsc::Result result =
      pcsc::GetAttrib(g_handleSlots.card, cells.attributeId, bufferArgument, &length);

  const uint8_t* attribute = nullptr;
  int64_t listed = 0;
  if (result == pcsc::kSuccess && length != 0 && length < kAttributeListLimit) {
    if (allocated.pointer != nullptr) {
      attribute = allocated.bytes();
      listed = length;
    } else if (buffer.data) {
      attribute = buffer.data.get();
      listed = Listed(length, buffer);
    }
  }
  host::BeginReply(turn, "SCardGetAttrib", result);
  host::AddByteListMember(turn, "pbAttr", attribute, listed);
  host::AddNumberMember(turn, "cbAttrLen", length);
  host::SendReply(turn);
}

}  // namespace commands
