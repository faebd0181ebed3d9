// The record writer against rings in plain and shared memory, read back with
// the trace data readers.

#include "KivANSIAPI/TraceRecordWriter.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KivANSIAPI/KivTraceOutput.h"
#include "KivANSIAPI/TraceRingReading.h"
#include "KivService/KivRecordSequenceGenerator.h"
#include "Support/SpinLock.h"
#include "Support/TestFork.h"
#include "TestSupport/Sandbox.h"
#include "TraceData/TraceRecordBuilder.h"

namespace {

using kivtest::DrainRing;
using kivtest::ParseRecords;
using kivtest::ReadRecord;

// A ring over `region` with its lock and a sequence counter: what a
// service client offers the writer. Initialises the ring header.
struct RingTarget {
  RingTarget(void* region, size_t length, uint32_t* sequenceCounter)
      : region(region), length(length), ring(Initialized(region, length), length), counter(sequenceCounter) {}
  std::vector<ReadRecord> Drain() { return ParseRecords(DrainRing(region, length)); }

  CircularMemoryOutputStream& TraceRing() { return ring; }
  SpinLock& TraceRingLock() { return lock; }
  uint32_t NextSequenceNumber() { return std::atomic_ref<uint32_t>(*counter).fetch_add(1); }

  static void* Initialized(void* region, size_t length) {
    CircularMemoryBuffer(region, length).Initialize();
    return region;
  }
  void* region;
  size_t length;
  CircularMemoryOutputStream ring;
  SpinLock lock;
  uint32_t* counter;
};

// A ring in ordinary memory with `capacity` data bytes and its own counter.
struct TestRing : RingTarget {
  explicit TestRing(uint32_t capacity)
      : RingTarget(Words(capacity), CircularMemoryBuffer::RegionSizeFor(capacity), &ownCounter) {}
  static void* Words(uint32_t capacity) {
    return new uint32_t[(CircularMemoryBuffer::RegionSizeFor(capacity) + 3) / 4]();
  }
  ~TestRing() { delete[] static_cast<uint32_t*>(region); }
  uint32_t* Header() { return static_cast<uint32_t*>(region); }
  uint32_t ownCounter = 0;
};
// The same with loss counters beside it, as a client's current registration.
struct CountedRing : TestRing {
  using TestRing::TestRing;
  ClientLossCounters* LossCounters() { return &counters; }
  uint32_t& Wake() { return counters.m_DrainerWake; }
  ClientLossCounters counters{};
};
using Writer = TraceRecordWriter<RingTarget>;
using TraceRecordWriting::GetStatistics;

uint32_t KernelThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

TEST(TraceRecordWriter, RecordsReadBackByteForByte) {
  TestRing ring(64 * 1024);
  ring.ownCounter = 500;
  Writer writer(ring);
  const std::string_view client = "cli";
  const std::string longText(3000, 'x');

  ASSERT_TRUE(writer.Write("mod", "lab", &client, "hello\nworld"));
  ASSERT_TRUE(writer.Write("module2", "label2", nullptr, longText));
  ASSERT_TRUE(writer.Write("", "", nullptr, ""));
  EXPECT_EQ(ring.ownCounter, 503u);

  const auto records = ring.Drain();
  ASSERT_EQ(records.size(), 3u);
  const uint32_t tid = KernelThreadId();
  EXPECT_EQ(TraceRecordWriting::CurrentThreadId(), tid);
  for (uint32_t i = 0; i < 3; ++i) {
    const ReadRecord& r = records[i];
    EXPECT_EQ(r.sequence, 500 + i);
    ASSERT_TRUE(r.timestamp && r.threadId);
    EXPECT_EQ(*r.threadId, tid);
    EXPECT_LT(r.timestamp->m_Milliseconds, 1000);
    EXPECT_GT(r.timestamp->m_Seconds, 1700000000u);
  }
  EXPECT_EQ(records[0].module, "mod");
  EXPECT_EQ(records[0].label, "lab");
  EXPECT_EQ(records[0].client, "cli");
  EXPECT_EQ(records[0].text, "hello\nworld");
  EXPECT_EQ(records[1].module, "module2");
  EXPECT_FALSE(records[1].client.has_value()) << "no client: no ClientName packet";
  EXPECT_EQ(records[1].text, longText.substr(0, 1016));
  EXPECT_EQ(records[2].text, "");

  // The stored bytes are exactly the record the builder makes of the same
  // fields, in the documented field order.
  TraceRecordFields f{500, *records[0].timestamp, tid, "mod", "lab", "cli", "hello\nworld"};
  std::vector<uint8_t> expected(TraceRecordBuilder::RecordSize(f));
  TraceRecordBuilder::BuildRecord(f, expected.data(), static_cast<uint32_t>(expected.size()));
  EXPECT_EQ(records[0].bytes, expected);
  TraceRecordFields g{502, *records[2].timestamp, tid, "", "", "", ""};
  g.m_HasClientName = false;
  std::vector<uint8_t> expected2(TraceRecordBuilder::RecordSize(g));
  TraceRecordBuilder::BuildRecord(g, expected2.data(), static_cast<uint32_t>(expected2.size()));
  EXPECT_EQ(records[2].bytes, expected2);
}

// Also: the drainer's wake word is cleared (and woken) by the record it
// waits for (the first in the ring; past half full, or a full ring, for a
// polling drainer) and by no other.
TEST(TraceRecordWriter, FullRingDropsWholeRecordsAndCountsThem) {
  CountedRing ring(300);
  TraceRecordWriter<CountedRing> writer(ring);
  const auto before = GetStatistics();
  using C = ClientLossCounters;

  // Records of 15 + 19 + 7 + 8 + 9 + 9 + 55 = 122 bytes: two fit into 299.
  const std::string text(50, 't');
  int written = 0, dropped = 0;
  const uint32_t states[] = {C::kDrainerPolling, C::kDrainerPolling, C::kDrainerSleeping, 0xFFFFFFFF,
                             C::kDrainerPolling};
  // First record (not waited for while polling), past half, full, full (a
  // forged state: left alone), full.
  const uint32_t expected[] = {C::kDrainerPolling, C::kDrainerAwake, C::kDrainerAwake, 0xFFFFFFFF,
                               C::kDrainerAwake};
  for (int i = 0; i < 5; ++i) {
    ring.Wake() = states[i];
    (writer.Write("mod", "lab", nullptr, text) ? written : dropped)++;
    EXPECT_EQ(ring.Wake(), expected[i]) << "record " << i;
  }
  EXPECT_EQ(written, 2);
  EXPECT_EQ(dropped, 3);
  EXPECT_EQ(ring.counters.m_Dropped, 3u);
  EXPECT_EQ(ring.ownCounter, 2u) << "a dropped record takes no sequence number";
  auto after = GetStatistics();
  EXPECT_EQ(after.m_Written - before.m_Written, 2u);
  EXPECT_EQ(after.m_Dropped - before.m_Dropped, 3u);

  // A short record still fits the room a long one could not use.
  ring.Wake() = C::kDrainerSleeping;
  EXPECT_TRUE(writer.Write("m", "l", nullptr, "")) << "room left: 299 - 244";
  EXPECT_EQ(ring.Wake(), C::kDrainerSleeping) << "neither first nor crossing half";

  auto records = ring.Drain();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].sequence, 0u);
  EXPECT_EQ(records[1].sequence, 1u);
  EXPECT_EQ(records[2].sequence, 2u);

  // Drained, the ring takes records again; across the wrap they stay whole.
  for (int round = 0; round < 20; ++round) {
    ring.Wake() = C::kDrainerSleeping;
    ASSERT_TRUE(writer.Write("mod", "lab", nullptr, text + std::to_string(round)));
    EXPECT_EQ(ring.Wake(), C::kDrainerAwake);
    records = ring.Drain();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, text + std::to_string(round));
  }
}

TEST(TraceRecordWriter, DamagedRingHeaderDropsTheRecordWithoutRaising) {
  TestRing ring(1024);
  Writer writer(ring);
  const auto before = GetStatistics();
  ring.Header()[1] = 5000;  // write position beyond the capacity
  EXPECT_FALSE(writer.Write("mod", "lab", nullptr, "lost"));
  EXPECT_EQ(GetStatistics().m_Dropped - before.m_Dropped, 1u);
  ring.Header()[1] = 0;
  EXPECT_TRUE(writer.Write("mod", "lab", nullptr, "kept"));
  EXPECT_EQ(ring.Drain().at(0).text, "kept");
}

// The shared counter's file cut by another process while records are
// written: the fault is caught inside the record's one guarded step, costs
// only the number (taken again from this process's own), and the ring stays
// in use.
TEST(TraceRecordWriter, CutSequenceCounterCostsOnlyTheNumber) {
  kivtest::Sandbox sandbox;
  std::filesystem::create_directories(sandbox.TempDir());
  struct CounterRing : TestRing {
    using TestRing::TestRing;
    KivRecordSequenceGenerator& SequenceNumbers() { return numbers; }
    KivRecordSequenceGenerator numbers{KivRecordSequenceGenerator::Create};
  } ring(4096);
  TraceRecordWriter<CounterRing> writer(ring);
  ASSERT_TRUE(writer.Write("m", "l", nullptr, "before"));
  ASSERT_EQ(truncate((sandbox.TempDir() + KivRecordSequenceGenerator::kRegionName + ".map").c_str(), 0), 0);
  EXPECT_TRUE(writer.Write("m", "l", nullptr, "at the fault"));
  EXPECT_TRUE(writer.Write("m", "l", nullptr, "after"));
  const auto records = ring.Drain();
  ASSERT_EQ(records.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(records[i].sequence, i);
  EXPECT_EQ(records[1].text, "at the fault");
}

// Several threads write while a reader drains the ring, as the dispatcher
// does: every record arrives whole, numbers are unique and dense, and each
// thread's records ascend in the order it wrote them.
TEST(TraceRecordWriter, ConcurrentWritersProduceIntactRecordsWithAscendingNumbers) {
  constexpr int kThreads = 4, kPerThread = 5000;
  TestRing ring(16 * 1024);
  Writer writer(ring);

  std::atomic<int> writersLeft{kThreads};
  std::vector<uint8_t> drained;
  std::thread reader([&] {
    for (;;) {
      const bool last = writersLeft.load() == 0;
      auto bytes = DrainRing(ring.region, ring.length);
      drained.insert(drained.end(), bytes.begin(), bytes.end());
      if (last) return;
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread;) {
        // A full ring drops the record; this writer tries again so that the
        // test can check every record arrived.
        if (writer.Write("mod" + std::to_string(t), "lab", nullptr,
                         std::to_string(t) + ":" + std::to_string(i)))
          ++i;
        else
          std::this_thread::yield();
      }
      writersLeft.fetch_sub(1);
    });
  }
  for (auto& t : threads) t.join();
  reader.join();

  const auto records = ParseRecords(drained);
  ASSERT_EQ(records.size(), size_t{kThreads * kPerThread});
  std::set<uint32_t> numbers;
  std::map<uint32_t, uint32_t> lastByThread;
  std::map<std::string, int> nextIndex;
  uint32_t previous = 0;
  for (size_t k = 0; k < records.size(); ++k) {
    const ReadRecord& r = records[k];
    numbers.insert(r.sequence);
    if (k > 0) {
      EXPECT_GT(r.sequence, previous) << "numbers ascend in ring order";
    }
    previous = r.sequence;
    auto it = lastByThread.find(*r.threadId);
    if (it != lastByThread.end()) {
      EXPECT_GT(r.sequence, it->second);
    }
    lastByThread[*r.threadId] = r.sequence;
    const std::string& text = *r.text;
    const std::string t = text.substr(0, text.find(':'));
    EXPECT_EQ(*r.module, "mod" + t);
    EXPECT_EQ(text, t + ":" + std::to_string(nextIndex[t]++));
  }
  EXPECT_EQ(numbers.size(), records.size());
  EXPECT_EQ(*numbers.rbegin(), records.size() - 1);
  EXPECT_EQ(lastByThread.size(), size_t{kThreads});
}

// Two processes share the counter and write their own rings: no number is
// given twice.
TEST(TraceRecordWriter, ProcessesSharingTheCounterNeverShareANumber) {
  constexpr uint32_t kCapacity = 256 * 1024, kRecords = 2000;
  const size_t ringLength = CircularMemoryBuffer::RegionSizeFor(kCapacity);
  const size_t total = 4096 + 2 * ringLength;
  void* shared = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  auto* counter = static_cast<uint32_t*>(shared);
  uint8_t* rings[2] = {static_cast<uint8_t*>(shared) + 4096,
                       static_cast<uint8_t*>(shared) + 4096 + ringLength};

  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = kivtest::StartChild([&, c] {
      RingTarget target(rings[c], ringLength, counter);
      Writer writer(target);
      for (uint32_t i = 0; i < kRecords; ++i)
        if (!writer.Write("m", "l", nullptr, "x")) return 1;
      // The child counts its own records only.
      return GetStatistics().m_Written == kRecords ? 0 : 2;
    });
  }
  for (pid_t child : children) EXPECT_EQ(kivtest::WaitChild(child), 0);

  std::set<uint32_t> numbers;
  for (auto* r : rings) {
    for (const auto& rec : ParseRecords(DrainRing(r, ringLength))) numbers.insert(rec.sequence);
  }
  EXPECT_EQ(numbers.size(), size_t{2 * kRecords});
  EXPECT_EQ(*counter, 2 * kRecords);
  munmap(shared, total);
}

// Also: the child counts only its own records, not those of its parent's
// threads, running or gone.
TEST(TraceRecordWriter, ForkedChildReportsItsOwnThreadId) {
  const uint32_t parentId = TraceRecordWriting::CurrentThreadId();
  TestRing ring(4096);
  {
    Writer writer(ring);
    writer.Write("m", "l", nullptr, "parent");
    std::thread([&] { writer.Write("m", "l", nullptr, "gone"); }).join();
    ring.Drain();
  }
  const int rc = kivtest::RunInChild([&] {
    const uint32_t childId = TraceRecordWriting::CurrentThreadId();
    if (childId == parentId || childId != KernelThreadId()) return 1;
    Writer writer(ring);
    writer.Write("m", "l", nullptr, "x");
    if (GetStatistics().m_Written != 1) return 3;
    return ring.Drain().at(0).threadId == childId ? 0 : 2;
  });
  EXPECT_EQ(rc, 0);
}

TEST(KivTraceOutput, WritesOnlyWhilePublished) {
  TestRing ring(4096);
  const auto before = GetStatistics();
  EXPECT_FALSE(KivTraceOutput::IsAvailable());
  EXPECT_FALSE(KivTraceOutput::Write("m", "l", nullptr, "nowhere"));
  {
    KivTraceOutput::Publication publication(static_cast<RingTarget&>(ring));
    EXPECT_TRUE(KivTraceOutput::IsAvailable());
    EXPECT_TRUE(KivTraceOutput::Write("m", "l", nullptr, "in"));
    // A forked child does not write into its parent's ring.
    EXPECT_EQ(
        kivtest::RunInChild([] {
          return !KivTraceOutput::IsAvailable() && !KivTraceOutput::Write("m", "l", nullptr, "child") ? 0 : 1;
        }),
        0);
  }
  EXPECT_FALSE(KivTraceOutput::IsAvailable());
  EXPECT_FALSE(KivTraceOutput::Write("m", "l", nullptr, "gone"));
  const auto records = ring.Drain();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text, "in");
  const auto after = GetStatistics();
  EXPECT_EQ(after.m_Written - before.m_Written, 1u);
  EXPECT_EQ(after.m_Dropped - before.m_Dropped, 2u);
}

// A fork while another thread retracts (holding the lock that serialises
// publications, waiting for a write in flight): the child, which has neither
// thread, can still publish, write and retract.
TEST(KivTraceOutput, ChildForkedDuringARetractionCanPublish) {
  struct BlockingSink : TraceRecordSink {
    std::atomic<bool> entered{false}, release{false};
    bool Write(TraceRecordWriting::Image&) noexcept override {
      entered = true;
      while (!release) std::this_thread::yield();
      return true;
    }
  };
  auto owned = std::make_unique<BlockingSink>();
  BlockingSink& sink = *owned;
  auto publication = std::make_unique<KivTraceOutput::Publication>(std::move(owned));
  std::thread writer([] { KivTraceOutput::Write("m", "l", nullptr, "held"); });
  const bool writing = kivtest::WaitFor([&] { return sink.entered.load(); });
  std::thread retractor([&] { publication.reset(); });
  // Cleared under the lock, which the retraction then keeps while it waits.
  const bool retracting = writing && kivtest::WaitFor([] { return !KivTraceOutput::IsAvailable(); });
  int status = -1;
  if (retracting) {
    status = kivtest::RunInChild([] {
      alarm(10);  // a lock left held would hang here
      TestRing ring(4096);
      {
        KivTraceOutput::Publication again(static_cast<RingTarget&>(ring));
        if (!KivTraceOutput::Write("m", "l", nullptr, "child")) return 1;
      }
      return ring.Drain().size() == 1 ? 0 : 2;
    });
  }
  sink.release = true;
  writer.join();
  retractor.join();
  EXPECT_TRUE(retracting);
  EXPECT_EQ(status, 0);
}

// Outputs come and go (the dispatcher stops and starts) while threads keep
// writing: a retracted ring is never written after its publication is gone,
// and every record counted as written is in some ring.
TEST(KivTraceOutput, RetractionWhileThreadsWriteIsSafe) {
  constexpr int kRounds = 50;
  std::vector<std::unique_ptr<TestRing>> rings;
  for (int i = 0; i < kRounds; ++i) rings.push_back(std::make_unique<TestRing>(64 * 1024));
  const auto before = GetStatistics();
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      while (!stop.load()) KivTraceOutput::Write("m", "l", nullptr, "record");
    });
  }
  uint64_t inRings = 0;
  for (int i = 0; i < kRounds; ++i) {
    {
      KivTraceOutput::Publication publication(static_cast<RingTarget&>(*rings[i]));
      std::this_thread::yield();
    }
    inRings += rings[i]->Drain().size();
  }
  stop.store(true);
  for (auto& t : threads) t.join();
  for (auto& r : rings) {
    EXPECT_EQ(CircularMemoryInputStream(r->region, r->length).GetDataLength(), 0u)
        << "no write after retraction";
  }
  EXPECT_EQ(GetStatistics().m_Written - before.m_Written, inRings);
}

}  // namespace
