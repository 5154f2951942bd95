#include "tests/posix/image_fixtures.h"

#include <jpeglib.h>
#include <libheif/heif.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "tests/support/test_files.h"

namespace {

std::string Utf8Path(const std::wstring& path) {
    return NativePath(path).string();
}

void Check(heif_error error, const char* what) {
    if (error.code != heif_error_Ok) {
        throw std::runtime_error(std::string(what) + ": " + (error.message ? error.message : "?"));
    }
}

struct HeifContextFree {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HeifEncoderFree {
    void operator()(heif_encoder* encoder) const { heif_encoder_release(encoder); }
};
struct HeifImageFree {
    void operator()(heif_image* image) const { heif_image_release(image); }
};
struct HeifHandleFree {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct HeifOptionsFree {
    void operator()(heif_encoding_options* options) const { heif_encoding_options_free(options); }
};

using HeifImagePtr = std::unique_ptr<heif_image, HeifImageFree>;

// Builds a libheif image of the picture at 8 or 10 bits, with an alpha plane on request.
HeifImagePtr MakeHeifImage(const TestPicture& picture, int bitDepth, bool alpha) {
    if (bitDepth != 8 && bitDepth != 10) throw std::invalid_argument("bit depth must be 8 or 10");
    const heif_chroma chroma =
        bitDepth == 8
            ? (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB)
            : (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE);
    heif_image* raw = nullptr;
    Check(heif_image_create(picture.width, picture.height, heif_colorspace_RGB, chroma, &raw),
          "heif_image_create");
    HeifImagePtr image(raw);
    Check(heif_image_add_plane(image.get(), heif_channel_interleaved, picture.width, picture.height,
                               bitDepth),
          "heif_image_add_plane");
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    const int channels = alpha ? 4 : 3;
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) {
            const Rgb color = picture.At(x, y);
            const int values[4] = {color.r, color.g, color.b, x < picture.width / 2 ? 0 : 255};
            for (int c = 0; c < channels; ++c) {
                if (bitDepth == 8) {
                    plane[y * stride + x * channels + c] = static_cast<std::uint8_t>(values[c]);
                } else {
                    const int wide = (values[c] * 1023 + 127) / 255;
                    std::uint8_t* sample = plane + y * stride + (x * channels + c) * 2;
                    sample[0] = static_cast<std::uint8_t>(wide & 0xFF);
                    sample[1] = static_cast<std::uint8_t>(wide >> 8);
                }
            }
        }
    }
    return image;
}

// libjpeg ends the process on errors unless told otherwise; here they become exceptions after a
// jump back to the calling frame, which holds nothing that needs destroying.
struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void JumpOnError(j_common_ptr info) {
    auto* errors = reinterpret_cast<JpegErrors*>(info->err);
    info->err->format_message(info, errors->message);
    std::longjmp(errors->jump, 1);
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

FilePtr OpenFile(const std::wstring& path, const char* mode) {
    FilePtr file(std::fopen(Utf8Path(path).c_str(), mode));
    if (!file) throw std::runtime_error("cannot open " + Utf8Path(path));
    return file;
}

// Both helpers keep libjpeg's jump target and every call that may jump in one frame without
// destructors, so the jump skips nothing.
bool CompressJpeg(std::FILE* file, const TestPicture& picture, int quality, JpegDensity density,
                  JpegErrors& errors) {
    jpeg_compress_struct info{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = JumpOnError;
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = static_cast<JDIMENSION>(picture.width);
    info.image_height = static_cast<JDIMENSION>(picture.height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    info.write_JFIF_header = TRUE;
    info.density_unit = static_cast<UINT8>(density.unit);
    info.X_density = static_cast<UINT16>(density.x);
    info.Y_density = static_cast<UINT16>(density.y);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(
            picture.rgb.data() + static_cast<std::size_t>(info.next_scanline) * picture.width * 3);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

bool DecompressJpeg(std::FILE* file, JpegFileInfo& out, JpegErrors& errors) {
    jpeg_decompress_struct info{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = JumpOnError;
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    out.hasJfif = info.saw_JFIF_marker;
    out.density = {info.density_unit, info.X_density, info.Y_density};
    out.progressive = info.progressive_mode;
    out.components = info.num_components;
    out.lumaSamplingH = info.comp_info[0].h_samp_factor;
    out.lumaSamplingV = info.comp_info[0].v_samp_factor;
    if (info.quant_tbl_ptrs[0] != nullptr) {
        out.lumaQuantTable.assign(std::begin(info.quant_tbl_ptrs[0]->quantval),
                                  std::end(info.quant_tbl_ptrs[0]->quantval));
    }
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    out.picture.width = static_cast<int>(info.output_width);
    out.picture.height = static_cast<int>(info.output_height);
    out.picture.rgb.resize(static_cast<std::size_t>(info.output_width) * info.output_height * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out.picture.rgb.data() +
                       static_cast<std::size_t>(info.output_scanline) * info.output_width * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

}  // namespace

Rgb TestPicture::At(int x, int y) const {
    const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 3;
    return {rgb[at], rgb[at + 1], rgb[at + 2]};
}

void TestPicture::Set(int x, int y, Rgb color) {
    const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 3;
    rgb[at] = color.r;
    rgb[at + 1] = color.g;
    rgb[at + 2] = color.b;
}

TestPicture MakeQuadrantPicture(int width, int height) {
    TestPicture picture{width, height,
                        std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 3)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool right = x >= width / 2;
            const bool bottom = y >= height / 2;
            picture.Set(x, y,
                        bottom ? (right ? kBottomRightColor : kBottomLeftColor)
                               : (right ? kTopRightColor : kTopLeftColor));
        }
    }
    return picture;
}

TestPicture Oriented(const TestPicture& picture, int exifOrientation) {
    if (exifOrientation < 1 || exifOrientation > 8) throw std::invalid_argument("orientation 1..8");
    const bool transposed = exifOrientation >= 5;
    const int w = picture.width;
    const int h = picture.height;
    TestPicture out{transposed ? h : w, transposed ? w : h,
                    std::vector<std::uint8_t>(picture.rgb.size())};
    // For every shown pixel (u, v), the stored pixel it comes from.
    for (int v = 0; v < out.height; ++v) {
        for (int u = 0; u < out.width; ++u) {
            int x = u;
            int y = v;
            switch (exifOrientation) {
                case 1:
                    break;
                case 2:
                    x = w - 1 - u;
                    break;
                case 3:
                    x = w - 1 - u;
                    y = h - 1 - v;
                    break;
                case 4:
                    y = h - 1 - v;
                    break;
                case 5:
                    x = v;
                    y = u;
                    break;
                case 6:
                    x = v;
                    y = h - 1 - u;
                    break;
                case 7:
                    x = w - 1 - v;
                    y = h - 1 - u;
                    break;
                case 8:
                    x = w - 1 - v;
                    y = u;
                    break;
            }
            out.Set(u, v, picture.At(x, y));
        }
    }
    return out;
}

bool ColorsNear(Rgb a, Rgb b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

testing::AssertionResult SamePattern(const TestPicture& actual, const TestPicture& expected,
                                     int tolerance) {
    if (actual.width != expected.width || actual.height != expected.height) {
        return testing::AssertionFailure()
               << "size " << actual.width << "x" << actual.height << ", expected " << expected.width
               << "x" << expected.height;
    }
    for (int j = 0; j < 4; ++j) {
        for (int i = 0; i < 4; ++i) {
            const int x = (2 * i + 1) * actual.width / 8;
            const int y = (2 * j + 1) * actual.height / 8;
            const Rgb a = actual.At(x, y);
            const Rgb e = expected.At(x, y);
            if (!ColorsNear(a, e, tolerance)) {
                return testing::AssertionFailure()
                       << "at (" << x << "," << y << ") got " << int(a.r) << "," << int(a.g) << ","
                       << int(a.b) << " expected " << int(e.r) << "," << int(e.g) << ","
                       << int(e.b);
            }
        }
    }
    return testing::AssertionSuccess();
}

void WriteHeicFile(const std::wstring& path, const TestPicture& picture,
                   const HeicOptions& options) {
    std::unique_ptr<heif_context, HeifContextFree> context(heif_context_alloc());
    heif_encoder* rawEncoder = nullptr;
    Check(heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &rawEncoder),
          "no HEVC encoder in libheif");
    std::unique_ptr<heif_encoder, HeifEncoderFree> encoder(rawEncoder);
    Check(heif_encoder_set_lossy_quality(encoder.get(), options.quality), "quality");
    if (options.quick) {
        Check(heif_encoder_set_parameter(encoder.get(), "preset", "ultrafast"), "preset");
    }

    for (const TestPicture& other : options.otherImages) {
        HeifImagePtr image = MakeHeifImage(other, 8, false);
        Check(
            heif_context_encode_image(context.get(), image.get(), encoder.get(), nullptr, nullptr),
            "encode other image");
    }

    std::unique_ptr<heif_encoding_options, HeifOptionsFree> encoding(heif_encoding_options_alloc());
    encoding->image_orientation = static_cast<heif_orientation>(options.orientation);
    HeifImagePtr image = MakeHeifImage(picture, options.bitDepth, options.alpha);
    heif_image_handle* rawHandle = nullptr;
    Check(heif_context_encode_image(context.get(), image.get(), encoder.get(), encoding.get(),
                                    &rawHandle),
          "encode primary image");
    std::unique_ptr<heif_image_handle, HeifHandleFree> handle(rawHandle);
    Check(heif_context_set_primary_image(context.get(), handle.get()), "set primary image");
    if (options.emptyMetadataItem) {
        Check(heif_context_add_generic_metadata(context.get(), handle.get(), "", 0, "mime",
                                                "application/octet-stream"),
              "add metadata");
    }
    Check(heif_context_write_to_file(context.get(), Utf8Path(path).c_str()), "write HEIC file");
}

void WriteJpegFile(const std::wstring& path, const TestPicture& picture, int quality,
                   JpegDensity density) {
    FilePtr file = OpenFile(path, "wb");
    JpegErrors errors{};
    if (!CompressJpeg(file.get(), picture, quality, density, errors)) {
        throw std::runtime_error(std::string("libjpeg: ") + errors.message);
    }
    if (std::fflush(file.get()) != 0) throw std::runtime_error("cannot write " + Utf8Path(path));
}

JpegFileInfo ReadJpegFile(const std::wstring& path) {
    FilePtr file = OpenFile(path, "rb");
    JpegFileInfo out;
    JpegErrors errors{};
    if (!DecompressJpeg(file.get(), out, errors)) {
        throw std::runtime_error(std::string("libjpeg: ") + errors.message);
    }
    return out;
}

void WriteTruncatedCopy(const std::wstring& source, const std::wstring& target, std::size_t keep) {
    const std::string bytes = ReadTestFile(source);
    WriteTestFile(target, std::string_view(bytes).substr(0, std::min(keep, bytes.size())));
}

// libx265, which libheif's encoder loads, keeps some allocations to the end of the process; they
// are not ours, and LeakSanitizer must not fail the test run over them.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libx265.so\n";
}
