#include "ntfs/scan.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <exception>
#include <limits>
#include <thread>

#include "ntfs/chunks.h"

namespace oskra::ntfs::detail {
namespace {

// No attribute list or reparse point is larger.
constexpr std::uint64_t MAX_LIST = 256u << 10;
constexpr std::uint64_t MAX_REPARSE = 16u << 10;

// $FILE_NAME namespaces: a name only in the DOS one is a file's short
// name, which a listing does not show as an entry of its own.
constexpr std::uint8_t DOS_NAMESPACE = 2;
constexpr std::uint8_t LAST_NAMESPACE = 3;

constexpr std::uint32_t RESERVED_FIRST = 12;
constexpr std::uint32_t RESERVED_END = 24;

// An extension record put aside: what it says belongs to another record,
// which another thread may be parsing.
struct Deferred {
  std::uint32_t index = 0;
  RecordHeader header;
  std::size_t at = 0;  // in the thread's copy of the records put aside
};

// One thread's pass over the pieces it is given. It writes the per-record
// arrays only at the records of its own pieces; extension records, which
// speak of their base record, are put aside for after the pass.
class Scan {
 public:
  Scan(const Volume& volume, Gathered& out, Part& part) : volume_(volume), out_(out), part_(part) {}

  void record(std::span<std::byte> bytes, std::uint32_t index) {
    // Records 12 to 23 are kept free by the format and may never have
    // been written; none of them names an entry.
    if (index >= RESERVED_FIRST && index < RESERVED_END &&
        std::memcmp(bytes.data(), "FILE", 4) != 0) {
      return;
    }
    const RecordHeader h = check_record(bytes, index);
    // The bitmap marks this record in use: a user's record must be.
    if ((h.flags & RECORD_IN_USE) == 0) {
      require(index < RESERVED_END, "a record the bitmap marks in use that is not");
      return;
    }
    out_.sequence[index] = h.sequence;
    if (h.base == 0) {
      out_.state[index] |= BASE_IN_USE | ((h.flags & RECORD_IS_DIRECTORY) != 0 ? DIRECTORY : 0);
      for_each_attribute(bytes, h, [&](const Attribute& a) { take(index, index, a); });
      return;
    }
    deferred_.push_back({index, h, aside_.size()});
    aside_.insert(aside_.end(), bytes.begin(), bytes.end());
  }

  // The extension records put aside, once no other thread is parsing.
  void extensions(std::size_t record_size) {
    for (const Deferred& d : deferred_) {
      const Bytes bytes = Bytes(aside_).subspan(d.at, record_size);
      const std::uint32_t owner = in_range(record_of(d.header.base));
      part_.extensions.push_back({d.index, d.header.sequence, owner});
      part_.base_sequence.push_back(sequence_of(d.header.base));
      for_each_attribute(bytes, d.header, [&](const Attribute& a) { take(owner, d.index, a); });
    }
  }

 private:
  std::uint32_t in_range(std::uint64_t record) const {
    require(record < out_.facts.size(), "a reference to a record out of range");
    return static_cast<std::uint32_t>(record);
  }

  // Marks `what` as seen for `owner`; a second one is not understood.
  void once(std::uint32_t owner, RecordState what) {
    require((out_.state[owner] & what) == 0, "an attribute twice in one file");
    out_.state[owner] |= what;
  }

  void take(std::uint32_t owner, std::uint32_t index, const Attribute& a) {
    switch (a.type) {
      case STANDARD_INFORMATION:
        require(a.resident, "non-resident standard information");
        once(owner, HAS_INFORMATION);
        out_.facts[owner].attributes = load<std::uint32_t>(a.value, 0x20);
        break;
      case ATTRIBUTE_LIST:
        require(owner == index, "an attribute list in an extension record");
        once(owner, HAS_LIST);
        take_list(owner, a);
        break;
      case FILE_NAME:
        take_name(owner, a);
        break;
      case DATA:
        if (index == UPCASE_RECORD && !a.named) volume_.add_segment(part_.upcase, a);
        if (a.named) break;
        if (a.resident || a.lowest_vcn == 0) {
          take_data(owner, a);
        } else {
          out_.state[owner] |= HAS_DATA_TAIL;
        }
        break;
      case REPARSE_POINT:
        once(owner, HAS_REPARSE);
        take_reparse(owner, a);
        break;
      default:
        break;
    }
  }

  void take_name(std::uint32_t owner, const Attribute& a) {
    require(a.resident, "non-resident file name");
    const auto size = load<std::uint8_t>(a.value, 0x40);
    const auto space = load<std::uint8_t>(a.value, 0x41);
    require(size != 0 && space <= LAST_NAMESPACE && 0x42u + 2u * size <= a.value.size(),
            "bad file name");
    if (space == DOS_NAMESPACE) return;
    const auto parent = load<std::uint64_t>(a.value, 0);
    std::uint32_t offset = 0;
    bool narrow = false;
    require(part_.names.add(a.value.data() + 0x42, size, offset, narrow), "names too long");
    part_.links.push_back(
        {owner, in_range(record_of(parent)), offset, sequence_of(parent), size, narrow});
  }

  void take_data(std::uint32_t owner, const Attribute& a) {
    once(owner, HAS_DATA);
    Facts& f = out_.facts[owner];
    f.size = a.resident ? a.value.size() : a.data_size;
    // A resident value takes its length rounded up to 8 bytes.
    f.allocated = a.resident ? (a.value.size() + 7) / 8 * 8 : a.on_disk;
    if (a.resident) return;
    // What is on the disk fits on the volume; an allocation beyond this
    // segment's runs must go on in a later segment (checked once all are in).
    const Geometry& g = volume_.geometry();
    require(a.on_disk / g.cluster_size <= g.total_clusters, "a stream larger than the volume");
    const std::uint64_t clusters =
        a.allocated_size / g.cluster_size + (a.allocated_size % g.cluster_size != 0 ? 1 : 0);
    // The last VCN of an empty stream is -1: it maps nothing.
    if (clusters > a.highest_vcn + 1) out_.state[owner] |= DATA_GOES_ON;
  }

  // The tag leads a reparse point's data; a large one may be non-resident.
  void take_reparse(std::uint32_t owner, const Attribute& a) {
    Stream stream;
    volume_.add_segment(stream, a);
    volume_.finish(stream);
    require(stream.size >= 8 && stream.size <= MAX_REPARSE, "bad reparse point");
    const auto tag = load<std::uint32_t>(volume_.content(stream, 4), 0);
    require(tag != 0, "bad reparse point");
    out_.facts[owner].reparse_tag = tag;
  }

  void take_list(std::uint32_t owner, const Attribute& a) {
    Stream stream;
    volume_.add_segment(stream, a);
    volume_.finish(stream);
    require(stream.size <= MAX_LIST, "attribute list too large");
    for (const ListEntry& e : parse_attribute_list(volume_.content(stream, stream.size))) {
      const std::uint64_t segment = record_of(e.segment);
      if (segment != owner)
        part_.listed.push_back({in_range(segment), sequence_of(e.segment), owner});
    }
  }

  const Volume& volume_;
  Gathered& out_;
  Part& part_;
  std::vector<Deferred> deferred_;
  std::vector<std::byte> aside_;
};

// How often a torn record is read again before the read is given up: a
// live volume's writes land in the time a read from the disk takes.
constexpr int TORN_RETRIES = 3;

// Record `index` read again from the volume into `out`.
void read_record_again(const Volume& volume, const MftLayout& layout, std::uint64_t index,
                       std::span<std::byte> out) {
  const Geometry& g = volume.geometry();
  const std::uint64_t offset = index * g.record_size;
  if (g.record_size >= g.cluster_size) {
    volume.read_virtual(layout.runs, offset / g.cluster_size, out);
    return;
  }
  AlignedBuffer cluster(g.cluster_size);
  volume.read_virtual(layout.runs, offset / g.cluster_size, cluster.span());
  std::memcpy(out.data(), cluster.span().data() + offset % g.cluster_size, out.size());
}

// Whether record `index` (its header only: the flags lie before the first
// fixup) is what the bitmap says: in use, or free. Records below 24 the
// format reserves may be marked in use and never written.
bool agrees(std::span<const std::byte> record, std::uint64_t index, bool marked_in_use) {
  constexpr std::size_t FLAGS_AT = 0x16;
  const bool in_use = std::memcmp(record.data(), "FILE", 4) == 0 &&
                      (std::to_integer<unsigned>(record[FLAGS_AT]) & RECORD_IN_USE) != 0;
  return marked_in_use ? in_use || index < RESERVED_END : !in_use;
}

// Record `index` and its bitmap bit disagree. On a live volume that is a
// file made or deleted since the bitmap was read: both are read again, a
// few times, and the record is taken as they then agree (in use or not);
// damage never agrees, and the table is refused.
bool settle(const Volume& volume, const MftLayout& layout, std::uint64_t index,
            std::span<std::byte> record) {
  const bool marked = layout.in_use(index);
  for (int attempt = 0; attempt < TORN_RETRIES; ++attempt) {
    read_record_again(volume, layout, index, record);
    bool now = false;
    try {
      const MftLayout fresh = read_mft_layout(volume);
      now = index < fresh.records && fresh.in_use(index);
    } catch (const Unreadable&) {
      continue;  // record 0 itself mid-write
    }
    if (agrees(record, index, now)) return now;
  }
  fail(marked ? "a record the bitmap marks in use that is not"
              : "a record in use that the bitmap marks free");
}

// Parses the pieces `chunks` hands out until there are none; `parsed`
// counts the records of the pieces done, for the progress shown.
void parse_pieces(const Volume& volume, const MftLayout& layout, Chunks& chunks, Scan& scan,
                  std::uint32_t record_size, std::atomic<std::uint64_t>& parsed,
                  Progress* progress) {
  AlignedBuffer buffer = chunks.buffer();
  std::uint64_t first = 0;
  std::span<std::byte> bytes;
  while (chunks.next(buffer, first, bytes)) {
    const std::uint64_t count = bytes.size() / record_size;
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::span<std::byte> record = bytes.subspan(i * record_size, record_size);
      // A free record costs a look at its header: one in use that the
      // bitmap called free would be lost.
      bool in_use = layout.in_use(first + i);
      if (!agrees(record, first + i, in_use)) in_use = settle(volume, layout, first + i, record);
      if (!in_use) continue;
      for (int attempt = 0;; ++attempt) {
        try {
          scan.record(record, static_cast<std::uint32_t>(first + i));
          break;
        } catch (const Unreadable& e) {
          // A torn record changes nothing before it fails: read it again.
          // By its text: each unit may hold its own copy of the literal.
          if (std::strcmp(e.what, TORN) != 0 || attempt == TORN_RETRIES) throw;
          read_record_again(volume, layout, first + i, record);
        }
      }
    }
    const std::uint64_t done = parsed.fetch_add(count, std::memory_order_relaxed) + count;
    if (progress != nullptr) {
      progress->records_read.store(done, std::memory_order_relaxed);
      if (progress->changed) progress->changed(*progress);
    }
  }
}

// Puts what each thread gathered together: the names in one store, the
// other lists one after another.
void merge(std::vector<Part>& parts, Gathered& out) {
  for (Part& part : parts) {
    std::uint32_t shift = 0;
    require(out.names.take_all(std::move(part.names), shift), "names too long");
    if (shift != 0) {
      for (Link& l : part.links) l.name_offset += shift;
    }
    out.links.push_back(std::move(part.links));
    out.extensions.insert(out.extensions.end(), part.extensions.begin(), part.extensions.end());
    out.base_sequence.insert(out.base_sequence.end(), part.base_sequence.begin(),
                             part.base_sequence.end());
    out.listed.insert(out.listed.end(), part.listed.begin(), part.listed.end());
    if (part.upcase.resident || !part.upcase.runs.empty()) out.upcase = std::move(part.upcase);
  }
}

// The threads that parse the table's pieces: this one and one more.
constexpr std::size_t THREADS = 2;

}  // namespace

Gathered scan_table(const Volume& volume, const MftLayout& layout, Progress* progress,
                    BlockSource blocks) {
  const Geometry& g = volume.geometry();
  Gathered out(blocks);
  out.facts.resize(layout.records);
  out.sequence.resize(layout.records);
  out.state.resize(layout.records);
  std::uint64_t in_use = 0;
  for (const std::byte b : layout.bitmap) in_use += std::popcount(std::to_integer<unsigned>(b));
  std::vector<Part> parts;
  std::vector<Scan> scans;
  parts.reserve(THREADS);  // the scans hold on to them
  scans.reserve(THREADS);
  for (std::size_t t = 0; t < THREADS; ++t) {
    parts.emplace_back(blocks);
    parts.back().links.reserve(in_use / THREADS);  // about one name each
    scans.emplace_back(volume, out, parts.back());
  }
  Chunks chunks(volume, layout);
  std::atomic<std::uint64_t> parsed{0};
  // The other thread's failure, read once it has been joined.
  std::exception_ptr failed;
  std::thread helper([&] {
    try {
      parse_pieces(volume, layout, chunks, scans[1], g.record_size, parsed, nullptr);
    } catch (...) {
      failed = std::current_exception();
      chunks.stop();
    }
  });
  try {
    parse_pieces(volume, layout, chunks, scans[0], g.record_size, parsed, progress);
  } catch (...) {
    chunks.stop();
    helper.join();
    throw;
  }
  helper.join();
  if (failed) std::rethrow_exception(failed);
  if (progress != nullptr) {
    progress->records_read.store(parsed.load(std::memory_order_relaxed), std::memory_order_relaxed);
    if (progress->changed) progress->changed(*progress);
  }
  for (Scan& scan : scans) scan.extensions(g.record_size);
  merge(parts, out);
  // Past the initialized part there is nothing to read, so nothing in use.
  for (std::uint64_t index = layout.initialized; index < layout.records; ++index) {
    require(!layout.in_use(index), "a record in use past the table's initialized part");
  }
  return out;
}

}  // namespace oskra::ntfs::detail
