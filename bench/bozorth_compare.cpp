// The project's matcher against bozorth3 on the same minutiae: both taken from an independent
// open-source extractor (NIST's mindtct and bozorth3 as Debian's libfprint carries them).
//
//   bozorth-compare [--no-resolution] PAIRS_DIR OUT_DIR SET_DIR[=PPI]...
//
// For each set (PPI: the images' resolution, 500 when not given) and each image NAME.pgm that the
// pair lists of PAIRS_DIR name, it writes to OUT_DIR/SET/:
//   - NAME.iso and NAME.ansi: mindtct's minutiae (position, direction, type, and the quality
//     from mindtct's reliability), fitted to the matcher's 1,024 bytes as the scanner library
//     fits its own records; NAME.rc.iso: the same with mindtct's ridge counts; NAME.xyt: every
//     minutia in NIST's own x y theta quality form, for inspection;
//   - genuine_scores.txt and impostor_scores.txt: bozorth3's score of every pair of
//     genuine_pairs.txt and impostor_pairs.txt, "NAME NAME SCORE" (the first image is the
//     probe), as `matcher-evaluate --given-scores` reads them. An image mindtct finds no minutia
//     in gets no record and scores 0 with every image.
//
// mindtct is told each set's resolution, which sets only the neighbourhood its minutia
// reliability looks at; --no-resolution leaves it at 0, as libfprint's own devices do (the
// reliability then comes from mindtct's block quality map alone; the minutiae are the same).
//
// libfprint exports neither mindtct nor bozorth3, so both are reached through its public API:
// the minutiae through fp_image_detect_minutiae, and the scores through its virtual image
// device, which runs mindtct on every image it is sent and bozorth3 against each print of an
// identification's gallery, logging each score as a debug message and stopping at the first
// one that reaches its threshold (40); the rest of the gallery is then identified again. Each
// image is first captured once to get its print (the xyt set libfprint makes of mindtct's
// minutiae); those prints form the galleries. The tool checks that each print's xyt set is
// exactly the NIST form of the minutiae it writes to the records.
#include <fprint.h>
#include <gio/gio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "codec/pgm.h"
#include "codec/template/minutiae_record.h"
#include "devicelib/core/record_fit.h"
#include "devicelib/scanner_lib.h"

namespace {

// libfprint hands out its minutiae as NBIS's own structure, and keeps an image's resolution in a
// field with no setter; these two mirror the start of libfprint 1.94's layouts (fpi-minutiae.h,
// fpi-image.h). Both are checked against the exported getters before use.
struct MirroredMinutia {
  int x;
  int y;
  int ex;
  int ey;
  int direction;  // 0..31 in steps of 11.25 degrees, 0 pointing up, turning clockwise
  double reliability;
  int type;  // 0 bifurcation, 1 ridge ending
  int appearing;
  int featureId;
  int* nbrs;
  int* ridgeCounts;
  int numNbrs;
};
struct MirroredImageStart {
  GObject parent;
  guint width;
  guint height;
  gdouble ppmm;
};

constexpr int kNbisBifurcation = 0;
constexpr double kDegreesPerDirection = 180.0 / 16;
// bozorth3's xyt sets hold at most this many minutiae (libfprint keeps the first ones).
constexpr size_t kBozorthMinutiae = 200;

struct Minutia {
  int x = 0;
  int y = 0;
  int direction = 0;
  double reliability = 0;
  int type = 0;
  std::vector<std::pair<int, int>> ridgeCounts;  // (neighbour index, count)
};

struct Xyt {
  std::vector<int> x;
  std::vector<int> y;
  std::vector<int> t;
  bool operator==(const Xyt&) const = default;
};

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "bozorth-compare: %s\n", message.c_str());
  std::exit(1);
}

int Round(double v) {
  return static_cast<int>(v < 0 ? v - 0.5 : v + 0.5);
}

void RunUntil(const bool& done) {
  while (!done) {
    g_main_context_iteration(nullptr, TRUE);
  }
}

// mindtct's minutiae of one image at `ppmm` (its resolution only sets the neighbourhood its
// reliability looks at); nullopt when it finds none.
std::optional<std::vector<Minutia>> Detect(const codec::PgmImage& pgm, double ppmm) {
  static_assert(sizeof(MirroredImageStart) <= 48);
  FpImage* image = fp_image_new(pgm.width, pgm.height);
  auto* start = reinterpret_cast<MirroredImageStart*>(image);
  if (start->width != fp_image_get_width(image) || start->height != fp_image_get_height(image)) {
    Fail("FpImage's layout is not the one this tool mirrors");
  }
  start->ppmm = ppmm;
  if (fp_image_get_ppmm(image) != ppmm) {
    Fail("FpImage's resolution could not be set");
  }
  gsize size = 0;
  // The image's own buffer: the pixels go in before the detection copies them.
  auto* data = const_cast<guchar*>(fp_image_get_data(image, &size));
  if (size != pgm.pixels.size()) {
    Fail("FpImage's buffer has an unexpected size");
  }
  std::memcpy(data, pgm.pixels.data(), size);
  struct State {
    bool done = false;
    bool ok = false;
  } state;
  fp_image_detect_minutiae(
      image, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer user) {
        auto* s = static_cast<State*>(user);
        s->ok = fp_image_detect_minutiae_finish(FP_IMAGE(source), result, nullptr);
        s->done = true;
      },
      &state);
  RunUntil(state.done);
  std::optional<std::vector<Minutia>> out;
  GPtrArray* list = state.ok ? fp_image_get_minutiae(image) : nullptr;
  if (list != nullptr && list->len > 0) {
    out.emplace();
    for (guint n = 0; n < list->len; ++n) {
      auto* fp = static_cast<FpMinutia*>(g_ptr_array_index(list, n));
      const auto* m = reinterpret_cast<const MirroredMinutia*>(fp);
      gint x = 0;
      gint y = 0;
      fp_minutia_get_coords(fp, &x, &y);
      if (x != m->x || y != m->y || m->direction < 0 || m->direction >= 32 ||
          (m->type != 0 && m->type != 1) || m->numNbrs < 0) {
        Fail("FpMinutia's layout is not the one this tool mirrors");
      }
      Minutia minutia{m->x, m->y, m->direction, m->reliability, m->type, {}};
      for (int k = 0; k < m->numNbrs; ++k) {
        minutia.ridgeCounts.emplace_back(m->nbrs[k], m->ridgeCounts[k]);
      }
      out->push_back(std::move(minutia));
    }
  }
  g_object_unref(image);
  return out;
}

// NIST's internal form, as libfprint makes a print of them: origin bottom left, degrees
// counter-clockwise from east pointing away from the minutia, above 180 taken as negative, the
// first 200 minutiae sorted by x, then y.
Xyt NistXyt(const std::vector<Minutia>& minutiae, int height) {
  std::vector<std::tuple<int, int, int>> rows;
  for (size_t n = 0; n < std::min(minutiae.size(), kBozorthMinutiae); ++n) {
    const Minutia& m = minutiae[n];
    int t = (270 - Round(m.direction * kDegreesPerDirection)) % 360;
    t += t < 0 ? 360 : 0;
    rows.emplace_back(m.x, height - m.y, t > 180 ? t - 360 : t);
  }
  std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
    return std::get<0>(a) != std::get<0>(b) ? std::get<0>(a) < std::get<0>(b)
                                            : std::get<1>(a) < std::get<1>(b);
  });
  Xyt xyt;
  for (const auto& [x, y, t] : rows) {
    xyt.x.push_back(x);
    xyt.y.push_back(y);
    xyt.t.push_back(t);
  }
  return xyt;
}

// The xyt set inside a print, from its serialised form ("FP3" and a GVariant whose last member
// holds the NBIS prints as a(aiaiai)).
std::optional<Xyt> PrintXyt(FpPrint* print) {
  guchar* data = nullptr;
  gsize length = 0;
  if (!fp_print_serialize(print, &data, &length, nullptr) || length < 3 ||
      std::memcmp(data, "FP3", 3) != 0) {
    g_free(data);
    return std::nullopt;
  }
  // A copy: GVariant wants its data aligned, which past the three bytes of header it is not.
  gpointer copy = g_memdup2(data + 3, length - 3);
  g_free(data);
  GVariant* value = g_variant_ref_sink(g_variant_new_from_data(
      G_VARIANT_TYPE("(issbymsmsia{sv}v)"), copy, length - 3, FALSE, g_free, copy));
  std::optional<Xyt> out;
  GVariant* boxed = g_variant_get_child_value(value, 9);
  GVariant* inner = g_variant_get_variant(boxed);
  if (g_variant_is_of_type(inner, G_VARIANT_TYPE("(a(aiaiai))"))) {
    GVariant* prints = g_variant_get_child_value(inner, 0);
    if (g_variant_n_children(prints) == 1) {
      GVariant* one = g_variant_get_child_value(prints, 0);
      out.emplace();
      for (auto [column, target] :
           {std::pair(0, &out->x), std::pair(1, &out->y), std::pair(2, &out->t)}) {
        GVariant* child = g_variant_get_child_value(one, column);
        gsize n = 0;
        const auto* values =
            static_cast<const gint32*>(g_variant_get_fixed_array(child, &n, sizeof(gint32)));
        target->assign(values, values + n);
        g_variant_unref(child);
      }
      g_variant_unref(one);
    }
    g_variant_unref(prints);
  }
  g_variant_unref(inner);
  g_variant_unref(boxed);
  g_variant_unref(value);
  return out;
}

// The standard records' form: origin top left, degrees counter-clockwise from east along the
// ridge (or the valley of a bifurcation) into the minutia's own ridge, as NBIS writes ANSI
// INCITS 378 records; quality the reliability in per cent.
codec::FingerTemplate ToTemplate(const std::vector<Minutia>& minutiae, const codec::PgmImage& pgm,
                                 int ppi, bool ridgeCounts) {
  codec::FingerTemplate t;
  t.width = static_cast<uint16_t>(pgm.width);
  t.height = static_cast<uint16_t>(pgm.height);
  t.xResolution = t.yResolution = static_cast<uint16_t>(Round(ppi / 2.54));
  // Records hold at most 255 minutiae: beyond that, the most reliable (FitRecord keeps the best
  // again when the record outgrows its bytes).
  std::vector<size_t> order(minutiae.size());
  for (size_t n = 0; n < order.size(); ++n) {
    order[n] = n;
  }
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return minutiae[a].reliability > minutiae[b].reliability;
  });
  order.resize(std::min<size_t>(order.size(), 255));
  std::vector<int> index(minutiae.size(), -1);
  for (size_t n = 0; n < order.size(); ++n) {
    index[order[n]] = static_cast<int>(n);
  }
  for (const size_t n : order) {
    const Minutia& m = minutiae[n];
    int angle = (90 - Round(m.direction * kDegreesPerDirection)) % 360;
    angle += angle < 0 ? 360 : 0;
    codec::Minutia out;
    out.x = static_cast<uint16_t>(m.x);
    out.y = static_cast<uint16_t>(m.y);
    out.angle = static_cast<uint16_t>(angle);
    out.type = m.type == kNbisBifurcation ? codec::MinutiaType::kBifurcation
                                          : codec::MinutiaType::kRidgeEnding;
    // mindtct's reliabilities run from 0.01 to 0.99, so no minutia reads as "not reported" (0).
    out.quality = static_cast<uint8_t>(std::clamp(Round(m.reliability * 100), 1, 100));
    t.minutiae.push_back(out);
  }
  if (ridgeCounts) {
    std::set<std::pair<int, int>> seen;
    for (size_t n = 0; n < minutiae.size(); ++n) {
      for (const auto& [neighbour, count] : minutiae[n].ridgeCounts) {
        const int a = index[n];
        const int b = neighbour >= 0 && static_cast<size_t>(neighbour) < index.size()
                          ? index[static_cast<size_t>(neighbour)]
                          : -1;
        if (a < 0 || b < 0 || a == b || count < 0 || count > 255 ||
            !seen.insert(std::minmax(a, b)).second) {
          continue;
        }
        t.ridgeCounts.push_back(codec::RidgeCount{static_cast<uint8_t>(a), static_cast<uint8_t>(b),
                                                  static_cast<uint8_t>(count)});
      }
    }
  }
  return t;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    Fail("cannot write " + path);
  }
}

// bozorth3's scores as libfprint logs them while identifying ("score S/T"); its other debug
// messages go where GLib would have sent them.
std::vector<int>* gScores = nullptr;

GLogWriterOutput Writer(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer) {
  const char* domain = nullptr;
  const char* message = nullptr;
  for (gsize n = 0; n < count; ++n) {
    if (std::strcmp(fields[n].key, "GLIB_DOMAIN") == 0) {
      domain = static_cast<const char*>(fields[n].value);
    } else if (std::strcmp(fields[n].key, "MESSAGE") == 0) {
      message = static_cast<const char*>(fields[n].value);
    }
  }
  int score = 0;
  int threshold = 0;
  if (domain != nullptr && message != nullptr && std::strcmp(domain, "libfprint-print") == 0 &&
      std::sscanf(message, "score %d/%d", &score, &threshold) == 2) {
    if (gScores != nullptr) {
      gScores->push_back(score);
    }
    return G_LOG_WRITER_HANDLED;
  }
  return g_log_writer_default(level, fields, count, nullptr);
}

// The virtual image device and the socket its images come through.
class Device {
 public:
  explicit Device(const std::string& socketPath) {
    g_setenv("FP_VIRTUAL_IMAGE", socketPath.c_str(), TRUE);
    context_ = fp_context_new();
    GPtrArray* devices = fp_context_get_devices(context_);
    for (guint n = 0; devices != nullptr && n < devices->len; ++n) {
      auto* d = static_cast<FpDevice*>(g_ptr_array_index(devices, n));
      if (std::strcmp(fp_device_get_driver(d), "virtual_image") == 0) {
        device_ = d;
      }
    }
    if (device_ == nullptr) {
      Fail("libfprint has no virtual_image device");
    }
    GError* error = nullptr;
    if (!fp_device_open_sync(device_, nullptr, &error)) {
      Fail(std::string("cannot open the virtual image device: ") + error->message);
    }
    // The image device's states are private; their numbers differ between libfprint versions.
    GParamSpec* spec =
        g_object_class_find_property(G_OBJECT_GET_CLASS(device_), "fpi-image-device-state");
    const GEnumValue* await =
        spec != nullptr && G_IS_PARAM_SPEC_ENUM(spec)
            ? g_enum_get_value_by_nick(G_PARAM_SPEC_ENUM(spec)->enum_class, "await-finger-on")
            : nullptr;
    if (await == nullptr) {
      Fail("the image device does not tell when it waits for a finger");
    }
    awaitFingerOn_ = await->value;
    socket_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", socketPath.c_str());
    if (socket_ < 0 ||
        connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      Fail("cannot connect to the virtual image device's socket");
    }
  }
  ~Device() {
    close(socket_);
    fp_device_close_sync(device_, nullptr, nullptr);
    g_object_unref(context_);
  }

  struct Result {
    FpPrint* print = nullptr;  // the probe's print (owned by the caller), null on a failure
    int matched = -1;          // the gallery index it stopped at, -1 when none reached 40
    std::vector<int> scores;   // bozorth3's scores, in gallery order, up to the match
  };

  // One touch of `pgm` identified against `gallery` (prints).
  Result Identify(const codec::PgmImage& pgm, const std::vector<FpPrint*>& gallery) {
    GPtrArray* prints = g_ptr_array_new();
    for (FpPrint* p : gallery) {
      g_ptr_array_add(prints, p);
    }
    Result result;
    gScores = &result.scores;
    struct State {
      bool done = false;
      FpPrint* match = nullptr;
      FpPrint* print = nullptr;
      GError* error = nullptr;
    } state;
    fp_device_identify(
        device_, prints, nullptr, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* res, gpointer user) {
          auto* s = static_cast<State*>(user);
          fp_device_identify_finish(FP_DEVICE(source), res, &s->match, &s->print, &s->error);
          s->done = true;
        },
        &state);
    // The device takes an image only once it waits for a finger.
    int deviceState = 0;
    g_object_get(device_, "fpi-image-device-state", &deviceState, nullptr);
    while (deviceState != awaitFingerOn_ && !state.done) {
      g_main_context_iteration(nullptr, TRUE);
      g_object_get(device_, "fpi-image-device-state", &deviceState, nullptr);
    }
    std::vector<uint8_t> message(8 + pgm.pixels.size());
    const int32_t header[2] = {pgm.width, pgm.height};
    std::memcpy(message.data(), header, 8);
    std::memcpy(message.data() + 8, pgm.pixels.data(), pgm.pixels.size());
    // Written from a thread: the device reads it in this thread's main loop.
    std::thread writer([&] {
      size_t sent = 0;
      while (sent < message.size()) {
        const ssize_t n = send(socket_, message.data() + sent, message.size() - sent, 0);
        if (n <= 0) {
          Fail("cannot send an image to the virtual image device");
        }
        sent += static_cast<size_t>(n);
      }
    });
    RunUntil(state.done);
    writer.join();
    // Let the device see the finger leave and go idle before the next touch.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    gScores = nullptr;
    if (state.error != nullptr) {
      g_error_free(state.error);
    }
    result.print = state.print;
    if (state.match != nullptr) {
      for (size_t n = 0; n < gallery.size(); ++n) {
        if (gallery[n] == state.match) {
          result.matched = static_cast<int>(n);
          break;
        }
      }
      g_object_unref(state.match);
    }
    g_ptr_array_unref(prints);
    return result;
  }

 private:
  FpContext* context_ = nullptr;
  FpDevice* device_ = nullptr;
  int socket_ = -1;
  int awaitFingerOn_ = 0;
};

std::vector<std::pair<std::string, std::string>> ReadPairs(const std::string& path) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::ifstream in(path);
  std::string a;
  std::string b;
  while (in >> a >> b) {
    pairs.emplace_back(a, b);
  }
  if (pairs.empty()) {
    Fail("no pairs in " + path);
  }
  return pairs;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  bool resolution = true;
  if (argc > 1 && std::strcmp(argv[1], "--no-resolution") == 0) {
    resolution = false;
    ++first;
  }
  if (argc - first < 3) {
    std::fprintf(stderr, "usage: %s [--no-resolution] PAIRS_DIR OUT_DIR SET_DIR[=PPI]...\n",
                 argv[0]);
    return 2;
  }
  const std::string pairsDir = argv[first];
  const std::string outDir = argv[first + 1];
  const auto genuinePairs = ReadPairs(pairsDir + "/genuine_pairs.txt");
  const auto impostorPairs = ReadPairs(pairsDir + "/impostor_pairs.txt");
  g_log_set_writer_func(Writer, nullptr, nullptr);

  char* tmp = g_dir_make_tmp("bozorth-compare-XXXXXX", nullptr);
  if (tmp == nullptr) {
    Fail("cannot make a temporary folder");
  }
  const std::string socketPath = std::string(tmp) + "/virtual-image.socket";
  int exitCode = 0;
  {
    Device device(socketPath);
    for (int s = first + 2; s < argc; ++s) {
      std::string setDir = argv[s];
      int ppi = 500;
      if (const size_t eq = setDir.rfind('='); eq != std::string::npos) {
        ppi = std::atoi(setDir.c_str() + eq + 1);
        setDir.resize(eq);
      }
      while (setDir.size() > 1 && setDir.back() == '/') {
        setDir.pop_back();
      }
      const std::string setName = setDir.substr(setDir.find_last_of('/') + 1);
      const std::string out = outDir + "/" + setName;
      g_mkdir_with_parents(out.c_str(), 0755);

      std::vector<std::string> names;
      for (const auto* pairs : {&genuinePairs, &impostorPairs}) {
        for (const auto& [a, b] : *pairs) {
          names.push_back(a);
          names.push_back(b);
        }
      }
      std::sort(names.begin(), names.end());
      names.erase(std::unique(names.begin(), names.end()), names.end());

      std::map<std::string, codec::PgmImage> images;
      std::map<std::string, FpPrint*> prints;
      int failures = 0;
      int overFull = 0;
      int mismatches = 0;
      size_t minutiaeSum = 0;
      size_t minutiaeMax = 0;
      for (const std::string& name : names) {
        const std::string path = setDir + "/" + name + ".pgm";
        std::ifstream in(path, std::ios::binary);
        const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
        std::string error;
        auto pgm = codec::DecodePgm(file, &error);
        if (!pgm) {
          Fail(path + ": " + error);
        }
        const auto minutiae = Detect(*pgm, resolution ? ppi / 25.4 : 0);
        // The print libfprint makes of the same image.
        Device::Result capture = device.Identify(*pgm, {});
        if (!minutiae || capture.print == nullptr) {
          ++failures;
          if (minutiae.has_value() != (capture.print != nullptr)) {
            Fail(name + ": mindtct found minutiae in one run and none in the other");
          }
          std::printf("%s %s: no minutiae\n", setName.c_str(), name.c_str());
          images[name] = std::move(*pgm);
          continue;
        }
        const auto printXyt = PrintXyt(capture.print);
        if (!printXyt || !(*printXyt == NistXyt(*minutiae, pgm->height))) {
          ++mismatches;
        }
        prints[name] = capture.print;
        minutiaeSum += minutiae->size();
        minutiaeMax = std::max(minutiaeMax, minutiae->size());
        for (const auto& [ext, format, counts] :
             {std::tuple(".iso", codec::TemplateFormat::kIso19794_2, false),
              std::tuple(".ansi", codec::TemplateFormat::kAnsi378, false),
              std::tuple(".rc.iso", codec::TemplateFormat::kIso19794_2, true)}) {
          std::vector<uint8_t> record;
          const codec::FingerTemplate t = ToTemplate(*minutiae, *pgm, ppi, counts);
          if (devicelib::FitRecord(format, t, devicelib::kMaxTemplateSize, &record) !=
              devicelib::FitResult::kOk) {
            Fail(name + ": the record could not be written");
          }
          codec::FingerTemplate back;
          if (!counts && format == codec::TemplateFormat::kIso19794_2 &&
              codec::DecodeMinutiaeRecord(record, &back) == codec::RecordError::kOk &&
              back.minutiae.size() < minutiae->size()) {
            ++overFull;
          }
          WriteFile(out + "/" + name + ext, record);
        }
        std::ofstream xyt(out + "/" + name + ".xyt");
        for (const Minutia& m : *minutiae) {
          int t = (270 - Round(m.direction * kDegreesPerDirection)) % 360;
          xyt << m.x << ' ' << pgm->height - m.y << ' ' << (t < 0 ? t + 360 : t) << ' '
              << Round(m.reliability * 100) << '\n';
        }
        images[name] = std::move(*pgm);
      }
      std::printf(
          "%s (%d ppi): %zu images, %d without minutiae, %.1f minutiae on average (most "
          "%zu), %d records cut to %d bytes, %d prints whose xyt differs from mindtct's "
          "minutiae\n",
          setName.c_str(), ppi, names.size(), failures,
          static_cast<double>(minutiaeSum) /
              static_cast<double>(std::max<size_t>(1, names.size() - failures)),
          minutiaeMax, overFull, devicelib::kMaxTemplateSize, mismatches);
      std::fflush(stdout);

      // Every pair's score: each probe against the gallery of its pairs, again from past the
      // print it stopped at until the gallery is through.
      std::map<std::pair<std::string, std::string>, int> scores;
      std::map<std::string, std::vector<std::string>> galleries;
      for (const auto* pairs : {&genuinePairs, &impostorPairs}) {
        for (const auto& [a, b] : *pairs) {
          if (prints.contains(a) && prints.contains(b)) {
            galleries[a].push_back(b);
          }
          scores[{a, b}] = 0;
        }
      }
      int touches = 0;
      int done = 0;
      for (const auto& [probe, list] : galleries) {
        size_t from = 0;
        while (from < list.size()) {
          std::vector<FpPrint*> gallery;
          for (size_t n = from; n < list.size(); ++n) {
            gallery.push_back(prints[list[n]]);
          }
          Device::Result r = device.Identify(images[probe], gallery);
          ++touches;
          if (r.print == nullptr) {
            Fail(probe + ": the probe failed where its first capture had not");
          }
          g_object_unref(r.print);
          const size_t expected =
              r.matched >= 0 ? static_cast<size_t>(r.matched) + 1 : gallery.size();
          if (r.scores.size() != expected) {
            Fail(probe + ": " + std::to_string(r.scores.size()) + " scores logged where " +
                 std::to_string(expected) + " were expected");
          }
          for (size_t n = 0; n < r.scores.size(); ++n) {
            scores[{probe, list[from + n]}] = r.scores[n];
          }
          from += r.scores.size();
        }
        std::printf("\r%s: %d of %zu probes scored (%d touches)", setName.c_str(), ++done,
                    galleries.size(), touches);
        std::fflush(stdout);
      }
      std::printf("\n");
      for (const auto& [file, pairs] : {std::pair("/genuine_scores.txt", &genuinePairs),
                                        std::pair("/impostor_scores.txt", &impostorPairs)}) {
        std::ofstream list(out + file);
        for (const auto& [a, b] : *pairs) {
          list << a << ' ' << b << ' ' << scores[{a, b}] << '\n';
        }
      }
      for (auto& [name, print] : prints) {
        g_object_unref(print);
      }
      if (mismatches > 0) {
        exitCode = 1;
      }
    }
  }
  unlink(socketPath.c_str());
  rmdir(tmp);
  g_free(tmp);
  return exitCode;
}
