// JPEG files through libjpeg with the library's default settings (quality 75, 4:2:0,
// baseline): the waterfall snapshots. The library's error handler never ends the process:
// every failure returns here (its setjmp pattern) as false and a reason. A file is written
// under a temporary name beside the target and renamed over it only when complete, so a
// failure (a full disk) never leaves a truncated JPEG nor damages an older file of the
// name.
#pragma once

#include <QImage>

#include <cstdio>
#include <string>

namespace tilo {

// Image (any format; written as 8-bit RGB) to Path. False with Error set on failure.
bool WriteJpegFile(const QImage& Image, const std::string& Path, std::string& Error);
// The same into an open stream (flushed, not closed): what WriteJpegFile does before the
// rename.
bool WriteJpegStream(const QImage& Image, std::FILE* Stream, std::string& Error);
// Decodes the JPEG file Path into Image (RGB888). False with Error set on failure.
bool ReadJpegFile(const std::string& Path, QImage& Image, std::string& Error);

}  // namespace tilo
