// 16-bit PCM mono WAV files: the synthesiser writes them, the file audio source and the
// decoding tool read them. Only RIFF/WAVE with a PCM fmt chunk (format tag 1, one channel,
// 16 bits) is accepted; unknown chunks are skipped. Anything else - another format, a
// truncated file, a missing file - raises EWavFile naming the file and the fault, so a bad
// recording is never read as noise. The reader streams: it holds one block at a time and
// reads pipes too (it never seeks on one). A data size of 0 or 0xFFFFFFFF, as a writer
// into a pipe leaves it, means "to the end of the file".
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

namespace tilo {

class EWavFile : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Streams the samples of one file; the header is checked completely in the constructor.
// With AllowTruncated, data that ends before the size its header gives is read as far as
// it goes and Truncated() tells; without it that is an error ("truncated data chunk").
class TWavReader {
public:
    explicit TWavReader(const std::string& FileName, bool AllowTruncated = false);
    // Reads from Stream (not owned; it must outlive the reader), which may be a pipe.
    // Name stands for it in messages.
    TWavReader(std::istream& Stream, const std::string& Name, bool AllowTruncated = false);
    TWavReader(const TWavReader&) = delete;
    TWavReader& operator=(const TWavReader&) = delete;

    int32_t SampleRate() const { return FSampleRate; }
    // The samples there are to read: the header's count, or what a file holds when that
    // is less (truncated) or unknown. Reading a pipe of unknown size, SIZE_MAX until the
    // end is reached, then the samples read.
    std::size_t SampleCount() const { return FSampleCount; }
    std::size_t Position() const { return FPosition; }
    bool AtEnd() const { return FPosition >= FSampleCount; }
    // The header gives no size: the data runs to the end of the file.
    bool SizeUnknown() const { return FSizeUnknown; }
    // The data ended before the header's count (only with AllowTruncated).
    bool Truncated() const { return FTruncated; }
    // The header's count (0 when unknown).
    std::size_t DeclaredCount() const { return FDeclaredCount; }

    // Reads up to Count samples into Dest; returns how many were read (0 at the end).
    std::size_t Read(int16_t* Dest, std::size_t Count);
    // Back to the first sample; EWavFile on a stream that cannot seek.
    void Rewind();

private:
    void ReadHeader();
    void Ended();

    std::string FFileName;
    std::ifstream FFile;
    std::istream* FStream = nullptr;
    bool FAllowTruncated = false;
    bool FSeekable = false;
    int32_t FSampleRate = 0;
    std::size_t FSampleCount = 0;
    std::size_t FDeclaredCount = 0;
    std::size_t FPosition = 0;
    bool FSizeUnknown = false;
    bool FTruncated = false;
    std::streamoff FDataOffset = 0;
    std::vector<unsigned char> FRaw;  // one read's bytes
};

struct TWavData {
    int32_t SampleRate = 0;
    std::vector<int16_t> Samples;
};

TWavData ReadWavFile(const std::string& FileName);

// Writes the whole file; raises EWavFile when it cannot be created or written completely.
void WriteWavFile(const std::string& FileName, int32_t SampleRate, const int16_t* Samples,
                  std::size_t Count);
void WriteWavFile(const std::string& FileName, int32_t SampleRate,
                  const std::vector<int16_t>& Samples);

}  // namespace tilo
