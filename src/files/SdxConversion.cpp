#include "files/SdxConversion.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

namespace kelvane {

namespace {

std::span<const std::uint8_t> FieldOf(std::span<const std::uint8_t, SdxRecord::kSize> record,
                                      SdxRecord::Field f) {
  return record.subspan(f.offset, f.length);
}

bool IsDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<std::uint32_t> ParseSdxNumber(std::span<const std::uint8_t> field) {
  std::size_t i = 0;
  while (i < field.size() && field[i] == ' ') ++i;
  const std::size_t first = i;
  std::uint32_t value = 0;
  // More than 9 digits could overflow: such a field does not parse.
  while (i < field.size() && IsDigit(field[i]) && i - first < 9)
    value = value * 10 + (field[i++] - '0');
  if (i == first) return std::nullopt;
  while (i < field.size() && field[i] == ' ') ++i;
  if (i != field.size()) return std::nullopt;
  return value;
}

bool SdxFilter::Take(std::span<const std::uint8_t, SdxRecord::kSize> record) {
  const auto high = ParseSdxNumber(FieldOf(record, SdxRecord::FrequencyHigh));
  const auto low = ParseSdxNumber(FieldOf(record, SdxRecord::FrequencyLow));
  if (high && low) frequency_ = *high * 1000 + *low;
  if (const auto rate = ParseSdxNumber(FieldOf(record, SdxRecord::SymbolRate))) symbolRate_ = *rate;
  const std::uint8_t pol = record[SdxRecord::Polarisation.offset];
  if (IsDigit(pol)) polarisation_ = pol;

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
  std::vector<std::uint8_t> in(bufferBytes), taken(bufferBytes);
  std::size_t carry = 0;  // bytes of an incomplete record left from the previous read
  std::size_t pending = 0;
  SdxFilter filter;
  for (;;) {
    if (stopped && stopped()) return endWith(Kind::Failed, "stopped");
    const std::size_t got = files.Read(num, std::span(in).subspan(carry));
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
  if (pending != 0 && !emit(std::span(taken).first(pending))) return fail(EIO);
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
