// WAV reading and writing, field by field in little-endian order (never a struct dump).
#include "platform/WavFile.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

namespace tilo {

namespace {

uint32_t GetU32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t GetU16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }

void PutU32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void PutU16(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

[[noreturn]] void Fail(const std::string& FileName, const std::string& What) {
    throw EWavFile("WAV file \"" + FileName + "\": " + What);
}

}  // namespace

TWavReader::TWavReader(const std::string& FileName, bool AllowTruncated)
    : FFileName(FileName), FAllowTruncated(AllowTruncated) {
    FFile.open(FileName, std::ios::binary);
    if (!FFile) Fail(FileName, std::string("cannot open (") + std::strerror(errno) + ")");
    FStream = &FFile;
    ReadHeader();
}

TWavReader::TWavReader(std::istream& Stream, const std::string& Name, bool AllowTruncated)
    : FFileName(Name), FStream(&Stream), FAllowTruncated(AllowTruncated) {
    ReadHeader();
}

void TWavReader::ReadHeader() {
    std::istream& in = *FStream;
    // A regular file tells its size; a pipe does not, and is never sought.
    std::streamoff fileSize = -1;
    const std::streamoff start = in.tellg();
    if (start == 0 && in.seekg(0, std::ios::end)) {
        fileSize = in.tellg();
        in.seekg(0);
        FSeekable = fileSize >= 0;
    }
    in.clear();

    unsigned char riff[12];
    if (!in.read(reinterpret_cast<char*>(riff), 12)) Fail(FFileName, "truncated header");
    if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0)
        Fail(FFileName, "not a RIFF/WAVE file");

    bool haveFmt = false;
    std::streamoff pos = 12;
    for (;;) {
        unsigned char hdr[8];
        if (!in.read(reinterpret_cast<char*>(hdr), 8))
            Fail(FFileName, haveFmt ? "no data chunk" : "no fmt chunk");
        pos += 8;
        const uint32_t size = GetU32(hdr + 4);
        const std::streamoff left = FSeekable ? fileSize - pos : std::numeric_limits<std::streamoff>::max();
        if (std::memcmp(hdr, "fmt ", 4) == 0) {
            if (size < 16) Fail(FFileName, "fmt chunk too short");
            if (std::streamoff(size) > left) Fail(FFileName, "truncated fmt chunk");
            unsigned char fmt[16];
            if (!in.read(reinterpret_cast<char*>(fmt), 16)) Fail(FFileName, "truncated fmt chunk");
            const uint16_t tag = GetU16(fmt), channels = GetU16(fmt + 2);
            const uint32_t rate = GetU32(fmt + 4);
            const uint16_t align = GetU16(fmt + 12), bits = GetU16(fmt + 14);
            if (tag != 1 || channels != 1 || bits != 16 || align != 2)
                Fail(FFileName, "format tag " + std::to_string(tag) + ", " +
                                    std::to_string(channels) + " channel(s), " +
                                    std::to_string(bits) +
                                    " bits; only 16-bit PCM mono is supported");
            if (rate == 0 || rate > uint32_t(std::numeric_limits<int32_t>::max()))
                Fail(FFileName, "invalid sample rate " + std::to_string(rate));
            FSampleRate = int32_t(rate);
            haveFmt = true;
            // The rest of a longer fmt chunk and its padding.
            const std::streamoff rest = std::streamoff(size) - 16 + (size & 1);
            if (rest > 0 && !in.ignore(rest)) Fail(FFileName, "truncated fmt chunk");
            pos += std::streamoff(size) + (size & 1);
            continue;
        }
        if (std::memcmp(hdr, "data", 4) == 0) {
            if (!haveFmt) Fail(FFileName, "data chunk before fmt chunk");
            FDataOffset = pos;
            FSizeUnknown = size == 0 || size == 0xFFFFFFFFu;
            if (FSizeUnknown) {
                // To the end of the file; an odd last byte is no sample.
                FSampleCount = FSeekable ? std::size_t(left / 2) : SIZE_MAX;
                return;
            }
            if (size % 2 != 0) Fail(FFileName, "data chunk holds a partial sample");
            FDeclaredCount = size / 2;
            FSampleCount = FDeclaredCount;
            if (std::streamoff(size) > left) {
                if (!FAllowTruncated) Fail(FFileName, "truncated data chunk");
                FSampleCount = std::size_t(left / 2);
                FTruncated = true;
            }
            return;
        }
        if (std::streamoff(size) > left) Fail(FFileName, "truncated chunk");
        // Chunks are padded to an even length.
        const std::streamoff skip = std::streamoff(size) + (size & 1);
        if (!in.ignore(skip)) Fail(FFileName, haveFmt ? "no data chunk" : "no fmt chunk");
        pos += skip;
    }
}

void TWavReader::Ended() {
    // The stream ended early: what was read is all there is.
    if (!FSizeUnknown && FPosition < FDeclaredCount) {
        if (!FAllowTruncated) Fail(FFileName, "truncated data chunk");
        FTruncated = true;
    }
    FSampleCount = FPosition;
}

std::size_t TWavReader::Read(int16_t* Dest, std::size_t Count) {
    if (Count > FSampleCount - FPosition) Count = FSampleCount - FPosition;
    if (Count == 0) return 0;
    FRaw.resize(Count * 2);
    FStream->read(reinterpret_cast<char*>(FRaw.data()), std::streamsize(FRaw.size()));
    const std::size_t got = std::size_t(FStream->gcount()) / 2;
    if (FStream->bad()) Fail(FFileName, "read error");
    for (std::size_t i = 0; i < got; ++i) Dest[i] = int16_t(GetU16(&FRaw[2 * i]));
    FPosition += got;
    if (got < Count) Ended();
    return got;
}

void TWavReader::Rewind() {
    if (!FSeekable) Fail(FFileName, "cannot go back to the start of a stream");
    FStream->clear();
    FStream->seekg(FDataOffset);
    FPosition = 0;
}

TWavData ReadWavFile(const std::string& FileName) {
    TWavReader reader(FileName);
    TWavData result;
    result.SampleRate = reader.SampleRate();
    result.Samples.resize(reader.SampleCount());
    reader.Read(result.Samples.data(), result.Samples.size());
    return result;
}

void WriteWavFile(const std::string& FileName, int32_t SampleRate, const int16_t* Samples,
                  std::size_t Count) {
    if (SampleRate <= 0) Fail(FileName, "invalid sample rate " + std::to_string(SampleRate));
    if (Count > (std::numeric_limits<uint32_t>::max() - 36) / 2)
        Fail(FileName, "too many samples for one file");
    const uint32_t dataBytes = uint32_t(Count * 2);
    std::vector<unsigned char> out(44 + std::size_t(dataBytes), 0);
    unsigned char* p = out.data();
    std::memcpy(p, "RIFF", 4);
    PutU32(p + 4, 36 + dataBytes);
    std::memcpy(p + 8, "WAVEfmt ", 8);
    PutU32(p + 16, 16);
    PutU16(p + 20, 1);                          // PCM
    PutU16(p + 22, 1);                          // mono
    PutU32(p + 24, uint32_t(SampleRate));
    PutU32(p + 28, uint32_t(SampleRate) * 2);   // bytes per second
    PutU16(p + 32, 2);                          // block align
    PutU16(p + 34, 16);                         // bits per sample
    std::memcpy(p + 36, "data", 4);
    PutU32(p + 40, dataBytes);
    for (std::size_t i = 0; i < Count; ++i) PutU16(p + 44 + 2 * i, uint16_t(Samples[i]));

    std::ofstream f(FileName, std::ios::binary | std::ios::trunc);
    if (!f) Fail(FileName, std::string("cannot create (") + std::strerror(errno) + ")");
    f.write(reinterpret_cast<const char*>(out.data()), std::streamsize(out.size()));
    f.close();
    if (!f) Fail(FileName, "write error");
}

void WriteWavFile(const std::string& FileName, int32_t SampleRate,
                  const std::vector<int16_t>& Samples) {
    WriteWavFile(FileName, SampleRate, Samples.data(), Samples.size());
}

}  // namespace tilo
