// The decoder's message catalogue. The first eleven are the decoder's
// long-standing texts and stay exactly as they are (the driver's logs are
// read with them); the rest explain the refusals of hostile streams.
#include <cstdarg>
#include <cstdio>

#include "imaging/jpeg/jpeg_private.h"

namespace qk::jpeg {
namespace {

constexpr const char* kCatalogue[] = {
    "Expecting version %d but get version %d",
    "Unable to Find Jpeg image in file",
    "Expecting 0xFF but got %x\n",
    "Unsupported format %x. Only Baseline JPEG for now.\n",
    "jpg:EOI\n",
    "Unknown Token %x\n",
    "ERROR: Only support 8 bpp precision\n",
    "MaxFrequency = 0\n",
    "Frequency = 0\n",
    "gpucGetImage == NULL in SOF token processing\n",
    "Error: Only support 8 bpp\n",
    "Unsupported component count %d\n",
    "Sampling factors %d x %d out of range\n",
    "Quantisation table %d out of range\n",
    "Component %d appears twice\n",
    "Empty image %d x %d\n",
    "Second frame header in one frame\n",
    "Scan before frame header\n",
    "Scan names unknown component %d\n",
    "Unsupported scan of %d of %d components\n",
    "Bad progression Ss=%d Se=%d Ah=%d Al=%d\n",
    "Huffman table class %d id %d out of range\n",
    "Huffman table class %d id %d not defined\n",
    "Huffman table segment length does not match its tables\n",
    "Huffman table has more codes than its lengths hold\n",
    "Quantisation table %d not defined\n",
    "Bad length in segment %x\n",
    "Destination refused: pitch %d for width %d\n",
    "No memory for %llu coefficient bytes\n",
    "Progressive frame %d x %d too large\n",
    "Bad Huffman code\n",
    "DC coefficient %d out of range\n",
    "AC coefficient past position 63\n",
    "Bad restart marker %x %x\n",
    "Frame without image data\n",
    "Frame ended before its end-of-image marker\n",
};
static_assert(sizeof kCatalogue / sizeof kCatalogue[0] == size_t(Msg::kCount));

}  // namespace

void Log(Msg message, ...) {
    const JPG_LOG_SINK sink = g_record.sink;
    if (sink == nullptr) return;
    char text[512];  // at most 511 characters reach the sink
    va_list args;
    va_start(args, message);
    std::vsnprintf(text, sizeof text, kCatalogue[int(message)], args);
    va_end(args);
    sink(text);
}

}  // namespace qk::jpeg
