// Encoding a picture with libjpeg in memory, with an error handler that
// returns instead of ending the program, then writing the file whole.
#include "machine_window/jpeg_writer.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <jpeglib.h>

#include "common/file_io.h"

namespace dupmon {

namespace {

// libjpeg's own error handler ends the program; ours jumps back instead.
struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

[[noreturn]] void onJpegError(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}

// Kept free of objects with destructors: it may be left by longjmp. The
// picture is made in memory (`out`, which the caller frees) and then
// written whole.
bool encode(unsigned char** out, unsigned long* size, const uint8_t* rgb, int width, int height,
            int stride, int quality) {
    jpeg_compress_struct cinfo;
    JpegError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = onJpegError;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, out, size);
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + size_t(cinfo.next_scanline) * size_t(stride));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

} // namespace

bool writeJpegFile(const std::filesystem::path& file, const uint8_t* rgb, int width, int height,
                   int stride, int quality) {
    if (rgb == nullptr || width <= 0 || height <= 0 || stride < width * 3)
        return false;
    unsigned char* bytes = nullptr;
    unsigned long size = 0;
    const bool encoded = encode(&bytes, &size, rgb, width, height, stride, quality);
    const bool written =
        encoded &&
        writeWholeFile(file, std::string_view(reinterpret_cast<const char*>(bytes), size)).ok;
    std::free(bytes);
    return written;
}

} // namespace dupmon
