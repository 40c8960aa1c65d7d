#include "sim/camera/jpeg_encoder.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

namespace qk::sim {

namespace {

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

void OnError(j_common_ptr cinfo) {
    auto* e = reinterpret_cast<ErrorManager*>(cinfo->err);
    std::longjmp(e->jump, 1);
}

void Quiet(j_common_ptr, int) {}

}  // namespace

std::vector<uint8_t> EncodeJpeg(const uint8_t* rgb, int width, int height, const MjpegOptions& options,
                                bool huffmanTables) {
    std::vector<uint8_t> out;
    if (rgb == nullptr || width <= 0 || height <= 0) return out;
    jpeg_compress_struct cinfo{};
    ErrorManager errors{};
    cinfo.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = OnError;
    errors.base.emit_message = Quiet;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    // Our own pictures never make the library fail; should it, the frame is empty.
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(buffer);
        return {};
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, options.quality, TRUE);
    // Luma sampled 2 x 1 (4:2:2) or 2 x 2 (4:2:0) against each chroma component.
    cinfo.comp_info[0].h_samp_factor = 2;
    cinfo.comp_info[0].v_samp_factor = options.subsampling420 ? 2 : 1;
    for (int c = 1; c < 3; ++c) cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
    cinfo.restart_interval = static_cast<unsigned int>(options.restartInterval > 0 ? options.restartInterval : 0);
    cinfo.optimize_coding = FALSE;  // the standard tables, which a frame without DHT relies on
    if (options.progressive) jpeg_simple_progression(&cinfo);
    if (!huffmanTables) {
        for (int i = 0; i < 2; ++i) {
            if (cinfo.dc_huff_tbl_ptrs[i]) cinfo.dc_huff_tbl_ptrs[i]->sent_table = TRUE;
            if (cinfo.ac_huff_tbl_ptrs[i]) cinfo.ac_huff_tbl_ptrs[i]->sent_table = TRUE;
        }
    }
    // With write_all_tables false, tables marked as sent are left out.
    jpeg_start_compress(&cinfo, huffmanTables ? TRUE : FALSE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + size_t(cinfo.next_scanline) * width * 3);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    out.assign(buffer, buffer + size);
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    return out;
}

}  // namespace qk::sim
