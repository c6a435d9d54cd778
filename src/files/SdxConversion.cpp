#include "files/SdxConversion.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace kelvane {

namespace {

bool IsDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

// The read and write buffers start on a page boundary. The system copies the file's pages
// into and out of them; a large block as the allocator hands it out starts 16 bytes past a
// page boundary, which slows those copies several times over on some processors.
constexpr std::size_t kPageAlign = 4096;
struct PageDelete {
  void operator()(std::uint8_t* p) const { ::operator delete[](p, std::align_val_t{kPageAlign}); }
};
using PageBuffer = std::unique_ptr<std::uint8_t[], PageDelete>;
PageBuffer MakePageBuffer(std::size_t bytes) {
  return PageBuffer(
      static_cast<std::uint8_t*>(::operator new[](bytes, std::align_val_t{kPageAlign})));
}

// A field of a fixed width parses with its loops unrolled: the filter runs it three times a
// record.
template <std::size_t Extent>
std::optional<std::uint32_t> ParseNumber(std::span<const std::uint8_t, Extent> field) {
  if constexpr (Extent != std::dynamic_extent && Extent <= 9) {
    // A field of digits only, the usual one, without a branch on each byte.
    bool digits = true;
    std::uint32_t value = 0;
    for (const std::uint8_t c : field) {
      const auto d = static_cast<std::uint32_t>(c - '0');
      digits &= d < 10;
      value = value * 10 + d;
    }
    if (digits) return value;
  }
  std::size_t i = 0;
  while (i < field.size() && field[i] == ' ') ++i;
  const std::size_t first = i;
  std::uint32_t value = 0;
  // More than 9 digits could overflow: such a field does not parse.
  while (i < field.size() && IsDigit(field[i]) && i - first < 9)
    value = value * 10 + static_cast<std::uint32_t>(field[i++] - '0');
  if (i == first) return std::nullopt;
  while (i < field.size() && field[i] == ' ') ++i;
  if (i != field.size()) return std::nullopt;
  return value;
}

template <SdxRecord::Field F>
std::optional<std::uint32_t> FieldNumber(std::span<const std::uint8_t, SdxRecord::kSize> record) {
  return ParseNumber(record.subspan<F.offset, F.length>());
}

}  // namespace

std::optional<std::uint32_t> ParseSdxNumber(std::span<const std::uint8_t> field) {
  return ParseNumber(field);
}

bool SdxFilter::Take(std::span<const std::uint8_t, SdxRecord::kSize> record) {
  using R = SdxRecord;
  static_assert(R::FrequencyLow.offset == R::FrequencyHigh.offset + R::FrequencyHigh.length);
  constexpr std::size_t kFrequency = R::FrequencyHigh.length + R::FrequencyLow.length;
  decltype(fieldsBefore_) fields;
  std::memcpy(fields.data(), record.data() + R::FrequencyHigh.offset, kFrequency);
  fields[kFrequency] = record[R::Polarisation.offset];
  std::memcpy(fields.data() + kFrequency + 1, record.data() + R::SymbolRate.offset,
              R::SymbolRate.length);
  if (!anyBefore_ || std::memcmp(fields.data(), fieldsBefore_.data(), fields.size()) != 0) {
    anyBefore_ = true;
    fieldsBefore_ = fields;
    const auto high = FieldNumber<SdxRecord::FrequencyHigh>(record);
    const auto low = FieldNumber<SdxRecord::FrequencyLow>(record);
    if (high && low) frequency_ = *high * 1000 + *low;
    if (const auto rate = FieldNumber<SdxRecord::SymbolRate>(record)) symbolRate_ = *rate;
    const std::uint8_t pol = record[SdxRecord::Polarisation.offset];
    if (IsDigit(pol)) polarisation_ = pol;
  }

  static constexpr std::uint8_t kTag[] = {'M', 'P', 'G', '2'};
  if (std::memcmp(record.data() + SdxRecord::SystemTag.offset, kTag, sizeof kTag) != 0)
    return false;

  const bool differs = frequency_ != lastFrequency_ || symbolRate_ != lastSymbolRate_ ||
                       polarisation_ == kNoPolarisation || polarisation_ != lastPolarisation_;
  if (!differs) return false;
  lastFrequency_ = frequency_;
  lastSymbolRate_ = symbolRate_;
  lastPolarisation_ = polarisation_ == kNoPolarisation ? ' ' : static_cast<char>(polarisation_);
  return true;
}

std::string NoChannelsText(const std::string& path) {
  return path + " holds no channels: it is no SDX channel list, or a list without MPG2 records";
}

SdxResult WriteSdxContainer(FileTable& files, const std::string& source, int num,
                            std::string& errorText, std::size_t bufferRecords, SdxOutput* written,
                            const std::function<bool()>& stopped) {
  using Kind = SdxResult::Kind;
  files.ClearError();
  if (bufferRecords == 0) bufferRecords = 1;
  const std::size_t bufferBytes = bufferRecords * SdxRecord::kSize;
  // Both files are written at once under private names beside their own and take their
  // places only when both are complete: a failure leaves the result of an earlier conversion
  // as it was, and a conversion running at the same time in the same folder never reads or
  // deletes this one's files.
  int listOut = 0, containerOut = 0;
  std::string listPart, containerPart;

  auto endWith = [&](Kind kind, const std::string& text) {
    errorText = text;
    for (int n : {num, listOut, containerOut})
      if (n != 0) files.Close(n);
    for (const std::string* part : {&listPart, &containerPart})
      if (!part->empty()) files.Delete(*part);
    files.ClearError();
    return SdxResult{kind};
  };
  auto fail = [&](int fallbackErr) {
    return endWith(Kind::Failed,
                   files.ErrorPending() ? files.ErrorText() : std::strerror(fallbackErr));
  };

  if (!files.Open(num, source, OpenMode::Read, SdxRecord::kSize)) return fail(EIO);
  // The result would take the list's own place: the list is not given up for it.
  for (const char* name : {kTempList, kTempContainer})
    if (files.SameFile(source, name))
      return endWith(Kind::Failed,
                     source +
                         " is the file the conversion writes its result to; give the list "
                         "another name or convert it in another folder");
  listOut = files.FreeFile();
  listPart = files.OpenBeside(listOut, kTempList);
  if (listPart.empty()) return fail(EIO);
  containerOut = files.FreeFile();
  containerPart = files.OpenBeside(containerOut, kTempContainer);
  if (containerPart.empty()) return fail(EIO);
  // The header's place; it is written once the sum and the length are known.
  const std::array<std::uint8_t, 64> noHeader{};
  if (!files.Write(containerOut, noHeader)) return fail(EIO);

  std::uint64_t dataLength = 0;
  ListChecksum sum;
  // The records taken go to both files a buffer at a time.
  auto emit = [&](std::span<const std::uint8_t> bytes) {
    sum.Add(bytes);
    dataLength += bytes.size();
    return files.Write(listOut, bytes) && files.Write(containerOut, bytes);
  };
  const PageBuffer inBuffer = MakePageBuffer(bufferBytes),
                   takenBuffer = MakePageBuffer(bufferBytes);
  const std::span<std::uint8_t> in(inBuffer.get(), bufferBytes),
      taken(takenBuffer.get(), bufferBytes);
  std::size_t carry = 0;  // bytes of an incomplete record left from the previous read
  std::size_t pending = 0;
  SdxFilter filter;
  for (;;) {
    if (stopped && stopped()) return endWith(Kind::Failed, "stopped");
    const std::size_t got = files.Read(num, in.subspan(carry));
    if (files.ErrorPending()) return fail(EIO);
    if (got == 0) break;  // what is left in carry is a final part shorter than a record
    const std::size_t have = carry + got;
    const std::size_t whole = have - have % SdxRecord::kSize;
    for (std::size_t at = 0; at < whole; at += SdxRecord::kSize) {
      const std::span<const std::uint8_t, SdxRecord::kSize> record(in.data() + at,
                                                                   SdxRecord::kSize);
      if (!filter.Take(record)) continue;
      std::memcpy(taken.data() + pending, record.data(), SdxRecord::kSize);
      pending += SdxRecord::kSize;
      if (pending == taken.size()) {
        if (!emit(taken)) return fail(EIO);
        pending = 0;
      }
    }
    carry = have - whole;
    std::memmove(in.data(), in.data() + whole, carry);
  }
  if (pending != 0 && !emit(taken.first(pending))) return fail(EIO);
  if (dataLength == 0) return endWith(Kind::NoChannels, NoChannelsText(source));
  if (dataLength > std::numeric_limits<std::uint32_t>::max()) return fail(EFBIG);
  const auto header = MakeListHeader(sum.Value(), static_cast<std::uint32_t>(dataLength));
  if (!files.Seek(containerOut, 0) || !files.Write(containerOut, header)) return fail(EIO);
  files.Close(num);
  num = 0;
  // Closing flushes each file to the disk: the last point at which a write can fail. Both
  // are closed, whatever the first one's flush said, so that neither stays open past here.
  const bool listClosed = files.Close(listOut);
  const bool closed = files.Close(containerOut) && listClosed;
  listOut = containerOut = 0;
  if (!closed) return fail(EIO);
  if (!files.MoveIntoPlace({{listPart, kTempList}, {containerPart, kTempContainer}}))
    return fail(EIO);
  if (written) *written = {dataLength, header.size() + dataLength};
  return SdxResult{Kind::Written};
}

Outcome ConvertSdx(FileTable& files, int num, std::string& path) {
  const std::string source = path;
  // The files of an earlier conversion stay until this one's replace them.
  std::string errorText;
  switch (WriteSdxContainer(files, source, num, errorText).kind) {
    case SdxResult::Kind::Written: path = kTempContainer; return Outcome::Of(Outcome::Kind::Ready);
    case SdxResult::Kind::NoChannels: return Outcome::NoChannels(source);
    case SdxResult::Kind::Failed: break;
  }
  return Outcome::FileFailure(source, errorText);
}

}  // namespace kelvane
