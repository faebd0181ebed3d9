#include "KivService/KivServiceClient.h"

#include <unistd.h>

#include <cstring>
#include <vector>

#include "MemoryStream/CircularMemoryInputStream.h"
#include "Support/AutoSync.h"
#include "Support/Logging.h"
#include "Support/MappedAccess.h"
#include "Support/Validation2Exception.h"
#include "TraceData/TraceRecordBuilder.h"
#include "TraceService/MessageBufferNames.h"
#include "TraceService/MessageProcessor.h"
#include "TraceService/MessageTransmitter.h"

namespace {
SharedMemory& Initialized(SharedMemory& memory) {
  CircularMemoryBuffer(memory.Data(), memory.Length()).Initialize();
  return memory;
}
}  // namespace

KivServiceClient::KivServiceClient(uint32_t dispatcherPid, FilterSettingsSink& filterSettings,
                                   const std::atomic<bool>* cancel, KivServiceClient* previous,
                                   TraceOutputPublisher* output, Driver driver)
    : m_DispatcherPid(dispatcherPid),
      m_OwnPid(static_cast<uint32_t>(getpid())),
      m_FilterSettings(&filterSettings),
      m_Output(output),
      m_TraceMemory(KivMessageBuffers::TraceBufferName(m_OwnPid), KivMessageBuffers::kTraceRingFileSize),
      m_TraceRing(Initialized(m_TraceMemory).Data(), m_TraceMemory.Length()),
      m_LossMemory(ClientLossCounters::Name(m_OwnPid), ClientLossCounters::kFileSize),
      m_Sequence(KivRecordSequenceGenerator::Open),
      m_ServiceClient(dispatcherPid, m_OwnPid, cancel),
      m_Handler{&m_Confirmation, &filterSettings},
      m_Helper{&m_Handler, &m_ServiceClient},
      m_Driver(driver) {
  // The file was made before the registration, zero-filled; records dropped
  // while this process had no dispatcher are told before its first record.
  ClientLossCounters* counters = LossCounters();
  ClientLossCounters::Field(counters->m_Magic).store(ClientLossCounters::kMagic, std::memory_order_release);
  {
    AutoSync<SpinLock> guard(m_TraceRingLock);
    if (const uint64_t dropped = m_Output ? m_Output->TakeUnpublishedDrops() : 0)
      counters->NoteDropped(dropped, 0);
  }
  if (m_Driver == Driver::OwnThread)
    m_Thread = std::make_unique<TimerClassMemberFunction<ServiceClientThreadHelper>>(m_Helper, kPollPeriodMs);
  // The dispatcher may have changed the configuration while this process was
  // not registered; start from the file as it is now.
  m_FilterSettings->ReloadConfiguration();
  if (previous) {
    TakeOverFrom(*previous);
  } else if (m_Output) {
    m_TraceOutput = m_Output->Publish(*this);
  }
}

void KivServiceClient::Retire() {
  Abandon();
  if (m_Output) m_Output->MarkOrphaned();
  m_Thread.reset();
  m_TraceMemory.RemoveFile();
  m_LossMemory.RemoveFile();
  m_ServiceClient.MessageBuffer().RemoveFile();
}

void KivServiceClient::TakeOverFrom(KivServiceClient& previous) {
  // Tracing threads wait for the new writer rather than drop meanwhile.
  struct Switch {
    TraceOutputPublisher* output;
    explicit Switch(TraceOutputPublisher* o) : output(o) {
      if (output) output->SetSwitching(true);
    }
    ~Switch() {
      if (output) output->SetSwitching(false);
    }
  } switching(m_Output);
  previous.m_TraceOutput.reset();  // waits for the writes under way
  ClientLossCounters* old = previous.LossCounters();
  uint64_t untold = 0;
  const uint64_t dropped = ClientLossCounters::Field(old->m_Dropped).load(std::memory_order_acquire);
  const uint64_t told = ClientLossCounters::Field(old->m_Told).load(std::memory_order_acquire);
  if (dropped > told) untold = dropped - told;
  try {
    // Same capacity, and the new ring is still empty: everything fits.
    CircularMemoryInputStream oldRing(previous.m_TraceMemory.Data(), previous.m_TraceMemory.Length());
    std::vector<uint8_t> records;
    uint32_t n = 0, readAt = 0;
    // Guarded: a group member may have truncated the old ring's file.
    if (!MappedAccess::Run([&] {
          n = oldRing.GetDataLength();
          readAt = oldRing.ReadPosition();
        }))
      n = 0;
    records.resize(n);
    if (n != 0 && !MappedAccess::Run([&] { oldRing.read(records.data(), n); })) n = 0;
    // The dead dispatcher's marks: what it had written (not carried) and what
    // it was writing as it died (carried, for the next one to decide).
    const auto offsetOf = [&](uint64_t ClientLossCounters::*field) -> uint32_t {
      const uint64_t mark = ClientLossCounters::Field(old->*field).load(std::memory_order_acquire);
      if (mark == 0 || mark > oldRing.Capacity()) return 0;
      const uint32_t offset =
          static_cast<uint32_t>((mark - 1 + oldRing.Capacity() - readAt) % oldRing.Capacity());
      return ClientLossCounters::IsRecordBoundary(records.data(), n, offset) ? offset : 0;
    };
    const uint32_t written = offsetOf(&ClientLossCounters::m_DrainedTo);
    const uint32_t writing = offsetOf(&ClientLossCounters::m_WritingTo);
    const uint64_t inode = ClientLossCounters::Field(old->m_Inode).load(std::memory_order_acquire);
    const uint64_t telling = ClientLossCounters::Field(old->m_Telling).load(std::memory_order_acquire);
    // One write at a time: either records or a loss were on their way.
    const bool recordsInDoubt = writing > written;
    const bool lossInDoubt = !recordsInDoubt && telling > told && telling <= dropped;
    // Stored before the records and the drops: the new dispatcher reads them after.
    ClientLossCounters* counters = LossCounters();
    const auto doubt = [&](const uint64_t(&file)[3], uint64_t ClientLossCounters::*field, uint64_t count) {
      ClientLossCounters::Field(counters->m_DoubtDevice).store(file[0]);
      ClientLossCounters::Field(counters->m_DoubtInode).store(file[1]);
      ClientLossCounters::Field(counters->m_DoubtEnd).store(file[2]);
      ClientLossCounters::Field(counters->*field).store(count, std::memory_order_release);
    };
    const auto load = [&](uint64_t& field) { return ClientLossCounters::Field(field).load(); };
    const uint64_t oldDoubt = load(old->m_Doubt), oldDoubtTold = load(old->m_DoubtTold);
    if (inode != 0 && (recordsInDoubt || lossInDoubt)) {
      const uint64_t file[3] = {load(old->m_Device), inode, load(old->m_FileEnd)};
      if (recordsInDoubt)
        doubt(file, &ClientLossCounters::m_Doubt, writing - written);
      else
        doubt(file, &ClientLossCounters::m_DoubtTold, telling - told);
    } else if ((oldDoubt != 0 && written == 0) || oldDoubtTold != 0) {
      // The old dispatcher died before deciding what it was left: passed on.
      const uint64_t file[3] = {load(old->m_DoubtDevice), load(old->m_DoubtInode), load(old->m_DoubtEnd)};
      if (oldDoubt != 0 && written == 0) doubt(file, &ClientLossCounters::m_Doubt, oldDoubt);
      if (oldDoubtTold != 0) doubt(file, &ClientLossCounters::m_DoubtTold, oldDoubtTold);
    }
    const uint32_t carried = n - written;
    const uint64_t count = ClientLossCounters::CountRecords(records.data() + written, carried);
    if (m_TraceRing.write(records.data() + written, carried)) {
      ClientLossCounters::Field(LossCounters()->m_Written).store(count, std::memory_order_release);
      ClientLossCounters::Field(LossCounters()->m_Published)
          .store(ClientLossCounters::Published(count, m_TraceRing.WrittenTo()), std::memory_order_release);
    } else
      untold += count;
  } catch (const std::exception& e) {
    // A damaged old ring: what it held cannot be counted.
    KIV_DIAG_NOTHROW("Records of the previous trace ring not carried over: " << e.what() << "\n");
  }
  {
    AutoSync<SpinLock> guard(m_TraceRingLock);
    // Told before the carried records: where in them the gaps were is not kept.
    if (untold != 0) LossCounters()->NoteDropped(untold, 0);
  }
  if (m_Output) m_TraceOutput = m_Output->Publish(*this);
}

KivServiceClient::~KivServiceClient() {
  // Tracing threads stop using the ring before anything of it goes.
  m_TraceOutput.reset();
  // The thread goes first: the un-registration wait reads the own ring.
  m_Thread.reset();
  // The trace ring's file goes before the un-registration is sent: its
  // absence is what tells the dispatcher the message is really ours (the
  // mapping stays valid until the members go).
  m_TraceMemory.RemoveFile();
}

void KivServiceClient::RequestConfigurationChange(RuntimeConfigChangeCode code) {
  m_Confirmation.store(0, std::memory_order_release);
  {
    ServerMessageSendingStream stream;
    MessageTransmitter<ServerMessageSendingStream>(stream)
        << MessageRuntimeConfigurationChange(m_OwnPid, code);
  }
  for (int poll = 0;
       poll < Registration::kConfirmationPolls && m_Confirmation.load(std::memory_order_acquire) == 0;
       ++poll) {
    usleep(kPollPeriodMs * 1000);
    // No other thread polls meanwhile: the caller holds what serialises them.
    if (m_Driver == Driver::Caller) ProcessMessages();
  }
  Validation2Exception::CheckLogic(m_Confirmation.load(std::memory_order_acquire) == 1,
                                   "Timeout waiting for confirmation");
}

void KivServiceClient::MessageHandler::Handle(const MessageHeader* header, uint32_t length) {
  switch (header->m_Type) {
    case MessageTypeRuntimeConfigChange:
      KIV_DIAG("KIV client received RuntimeConfigChange message\n");
      switch (header->m_Code) {
        case ReloadConfigFile:
          KIV_DIAG("KIV client reload configuration.\n");
          filterSettings->ReloadConfiguration();
          break;
        case PauseTracing:
          KIV_DIAG("KIV client pause tracing\n");
          filterSettings->SetPaused(true);
          break;
        case ResumeTracing:
          KIV_DIAG("KIV client resume tracing\n");
          filterSettings->SetPaused(false);
          break;
        default:
          break;
      }
      break;
    case MessageTypeConfirmation: {
      // m_Confirmed follows the header; a message too short to hold it
      // confirms nothing.
      const auto* bytes = reinterpret_cast<const uint8_t*>(header);
      bool success = length >= sizeof(MessageConfirmation) && bytes[sizeof(MessageHeader)] == 1;
      confirmation->store(success ? 1 : 2, std::memory_order_release);
      break;
    }
    case MessageTypePing:
      KIV_DIAG("Ping\n");
      break;
    default:
      KIV_DIAG("KIV client received unknown message\n");
      break;
  }
}

void KivServiceClient::ProcessMessages() noexcept {
  try {
    m_Helper.Worker();
  } catch (const std::exception& e) {
    KIV_DIAG_NOTHROW("KIV client could not read its messages: " << e.what() << "\n");
  } catch (...) {
  }
}

void KivServiceClient::ServiceClientThreadHelper::Worker() {
  MessageProcessor<MessageHandler> processor(*handler);
  // Everything waiting, not one message per period: a pause must not queue
  // behind pings.
  for (int i = 0; i < 64 && serviceClient->ProcessOne(processor); ++i) {
  }
}
