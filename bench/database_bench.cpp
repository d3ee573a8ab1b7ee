// Identification at the template database's limit: "identify" through the database's own
// operation table (parameters, API lock, templateLock, the matcher over every user) with the
// store filled to kMaxUsers by "enroll", and the project's minutiae matcher. The scanner is a
// double whose "finger on the sensor" is a synthetic minutiae record (real-size, about 50
// minutiae), so the figures are the database's and the matcher's, not the extractor's.
// Also: the refusal of one more enrolment, and enrolment time as the store fills.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "database/template_database.h"
#include "devicelib/matcher/minutiae_matcher.h"
#include "devicelib/matcher/test_minutiae.h"
#include "devicelib/status.h"
#include "session/session_registry.h"
#include "tests/fakes/mock_libraries.h"

namespace {

namespace synth = devicelib::matcher::testing;
using ::testing::_;
using ::testing::Invoke;
using ::testing::NiceMock;
using ::testing::Return;

constexpr int kMinutiae = 53;  // master set; an impression keeps about 50
constexpr char kCookie[] = "session=bench";
constexpr char kPrefix[] = "sHandle=7&id=bench&";

// Finger f's impression i as an ISO/IEC 19794-2 record.
std::vector<uint8_t> RecordOf(uint32_t finger, uint32_t impression) {
  return synth::Record(
      synth::Impression(synth::MasterFinger(finger, kMinutiae), 2 * finger + impression));
}

// The store filled to its limit once for the whole run (enrolling 10,000 users takes a while).
struct FullStore {
  NiceMock<fakes::MockScannerLib> scanner;
  std::unique_ptr<devicelib::MatcherLib> matcher = devicelib::CreateMinutiaeMatcher();
  std::atomic<devicelib::MatcherHandle> handle{nullptr};
  session::SessionRegistry sessions;
  service::Dispatcher dispatcher{sessions};
  service::EventHub events;
  std::unique_ptr<database::TemplateDatabase> db;
  std::vector<uint8_t> onSensor;  // what the next extraction returns

  FullStore() {
    devicelib::MatcherHandle made = nullptr;
    if (matcher->Create(&made) != 0) {
      throw std::runtime_error("no matcher instance");
    }
    handle = made;
    ON_CALL(scanner, SetParameter(_, _, _)).WillByDefault(Return(0));
    ON_CALL(scanner, CaptureSingleImage(_)).WillByDefault(Return(0));
    ON_CALL(scanner, ExtractEx(_, _, _, _, _))
        .WillByDefault(Invoke(
            [this](int64_t, int32_t capacity, uint8_t* out, int32_t* size, int32_t* quality) {
              if (capacity < static_cast<int32_t>(onSensor.size())) {
                return static_cast<int32_t>(devicelib::kBufferTooSmall);
              }
              std::copy(onSensor.begin(), onSensor.end(), out);
              *size = static_cast<int32_t>(onSensor.size());
              *quality = 80;
              return 0;
            }));
    db = std::make_unique<database::TemplateDatabase>(dispatcher,
                                                      service::DeviceLibraries{scanner, *matcher},
                                                      handle, events, database::kMaxUsers);
    for (uint32_t n = 0; n < database::kMaxUsers; ++n) {
      if (Enrol(n, RecordOf(n, 0)).find("\"0\"") == std::string::npos) {
        throw std::runtime_error("enrolment failed at user " + std::to_string(n));
      }
    }
  }
  ~FullStore() { matcher->Delete(handle.load()); }

  std::string Enrol(uint32_t serialNo, std::vector<uint8_t> record) {
    onSensor = std::move(record);
    return db->HandleDatabaseApi("enroll", kCookie,
                                 std::string(kPrefix) + "userSerialNo=" + std::to_string(serialNo) +
                                     "&userID=u" + std::to_string(serialNo) + "&extractEx=1");
  }
  std::string Identify(std::vector<uint8_t> probe) {
    onSensor = std::move(probe);
    return db->HandleDatabaseApi("identify", kCookie, std::string(kPrefix) + "extractEx=1");
  }

  static FullStore& Get() {
    static FullStore store;
    return store;
  }
};

// A finger nobody enrolled: the whole store is searched (the worst case).
void BM_IdentifyUnknownAtLimit(benchmark::State& state) {
  FullStore& store = FullStore::Get();
  const std::vector<uint8_t> probe = RecordOf(database::kMaxUsers + 7, 1);
  for (auto _ : state) {
    const std::string reply = store.Identify(probe);
    benchmark::DoNotOptimize(reply.data());
  }
  state.counters["users"] = static_cast<double>(store.db->UserCount());
  state.counters["comparisons/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * database::kMaxUsers, benchmark::Counter::kIsRate);
}

// The last enrolled user's other impression: found at the end of the store.
void BM_IdentifyLastUserAtLimit(benchmark::State& state) {
  FullStore& store = FullStore::Get();
  const std::vector<uint8_t> probe = RecordOf(database::kMaxUsers - 1, 1);
  for (auto _ : state) {
    const std::string reply = store.Identify(probe);
    if (reply.find(std::to_string(database::kMaxUsers - 1)) == std::string::npos) {
      state.SkipWithError("the last user was not identified");
      break;
    }
  }
}

// One more user: refused at once with -501, before any capture.
void BM_EnrolBeyondLimit(benchmark::State& state) {
  FullStore& store = FullStore::Get();
  const std::vector<uint8_t> record = RecordOf(database::kMaxUsers + 1, 0);
  for (auto _ : state) {
    const std::string reply = store.Enrol(database::kMaxUsers, record);
    if (reply.find("-501") == std::string::npos) {
      state.SkipWithError("enrolment beyond the limit was not refused");
      break;
    }
  }
}

BENCHMARK(BM_IdentifyUnknownAtLimit)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_IdentifyLastUserAtLimit)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_EnrolBeyondLimit)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
