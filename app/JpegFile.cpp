// libjpeg calls error_exit on every fatal error and expects it not to return; ours
// longjmps back to the frame that started the operation. Nothing with a destructor
// lives between setjmp and the library calls, and every object the library allocated is
// released by jpeg_destroy_* after the jump.
#include "app/JpegFile.h"

#include <jpeglib.h>

#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <filesystem>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace tilo {

namespace {

struct TJpegError {
    jpeg_error_mgr Manager;
    std::jmp_buf Return;
    char Message[JMSG_LENGTH_MAX];
};

[[noreturn]] void ErrorExit(j_common_ptr Info) {
    auto* err = reinterpret_cast<TJpegError*>(Info->err);
    (*Info->err->format_message)(Info, err->Message);
    std::longjmp(err->Return, 1);
}

// Warnings (corrupt data the library can go on with) are not failures.
void OutputMessage(j_common_ptr) {}

void InitError(TJpegError& Err) {
    jpeg_std_error(&Err.Manager);
    Err.Manager.error_exit = ErrorExit;
    Err.Manager.output_message = OutputMessage;
    Err.Message[0] = 0;
}

// Rows are prepared before the setjmp so that no C++ object is created after it.
bool Compress(const QImage& Rgb, std::FILE* Stream, std::string& Error) {
    TJpegError err;
    jpeg_compress_struct info;
    std::memset(&info, 0, sizeof info);
    InitError(err);
    info.err = &err.Manager;
    if (setjmp(err.Return)) {
        jpeg_destroy_compress(&info);
        Error = err.Message;
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, Stream);
    info.image_width = JDIMENSION(Rgb.width());
    info.image_height = JDIMENSION(Rgb.height());
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(Rgb.constScanLine(int(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);  // flushes through the stream: a write error jumps back
    jpeg_destroy_compress(&info);
    return true;
}

std::string ErrnoText(int Code) { return std::strerror(Code); }

}  // namespace

bool WriteJpegStream(const QImage& Image, std::FILE* Stream, std::string& Error) {
    const QImage rgb = Image.convertToFormat(QImage::Format_RGB888);
    if (!Compress(rgb, Stream, Error)) return false;
    if (std::fflush(Stream) != 0 || std::ferror(Stream)) {
        Error = ErrnoText(errno ? errno : EIO);
        return false;
    }
    return true;
}

bool WriteJpegFile(const QImage& Image, const std::string& Path, std::string& Error) {
    std::string temp = Path + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back(0);
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        Error = ErrnoText(errno);
        return false;
    }
    temp = name.data();
    ::fchmod(fd, 0644);
    std::FILE* stream = ::fdopen(fd, "wb");
    if (!stream) {
        Error = ErrnoText(errno);
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    }
    bool ok = WriteJpegStream(Image, stream, Error);
    if (ok && ::fsync(::fileno(stream)) != 0) {
        Error = ErrnoText(errno);
        ok = false;
    }
    if (std::fclose(stream) != 0 && ok) {
        Error = ErrnoText(errno);
        ok = false;
    }
    if (ok && std::rename(temp.c_str(), Path.c_str()) != 0) {
        Error = ErrnoText(errno);
        ok = false;
    }
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

namespace {

bool Decompress(std::FILE* Stream, QImage& Image, std::string& Error) {
    TJpegError err;
    jpeg_decompress_struct info;
    std::memset(&info, 0, sizeof info);
    InitError(err);
    info.err = &err.Manager;
    QImage* out = &Image;
    if (setjmp(err.Return)) {
        jpeg_destroy_decompress(&info);
        Error = err.Message;
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, Stream);
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    // The temporary ends before the next library call, so a jump never skips a destructor.
    *out = QImage(int(info.output_width), int(info.output_height), QImage::Format_RGB888);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out->scanLine(int(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

}  // namespace

bool ReadJpegFile(const std::string& Path, QImage& Image, std::string& Error) {
    std::FILE* stream = std::fopen(Path.c_str(), "rb");
    if (!stream) {
        Error = ErrnoText(errno);
        return false;
    }
    const bool ok = Decompress(stream, Image, Error);
    std::fclose(stream);
    return ok;
}

}  // namespace tilo
