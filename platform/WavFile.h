// 16-bit PCM mono WAV files: the synthesiser writes them, the file audio source and the
// decoding tool read them. Only RIFF/WAVE with a PCM fmt chunk (format tag 1, one channel,
// 16 bits) is accepted; unknown chunks are skipped. Anything else - another format, a
// truncated file, a missing file - raises EWavFile naming the file and the fault, so a bad
// recording is never read as noise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace tilo {

class EWavFile : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Streams the samples of one file; the header is checked completely in the constructor.
class TWavReader {
public:
    explicit TWavReader(const std::string& FileName);

    int32_t SampleRate() const { return FSampleRate; }
    std::size_t SampleCount() const { return FSampleCount; }
    std::size_t Position() const { return FPosition; }

    // Reads up to Count samples into Dest; returns how many were read (0 at the end).
    std::size_t Read(int16_t* Dest, std::size_t Count);
    // Back to the first sample.
    void Rewind();

private:
    std::string FFileName;
    std::ifstream FStream;
    int32_t FSampleRate = 0;
    std::size_t FSampleCount = 0;
    std::size_t FPosition = 0;
    std::streamoff FDataOffset = 0;
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
