// The PNG decoder: turns a PNG image held in memory (the converter's input buffer) into a bitmap
// of the converter's image list. Chunks and their CRCs, the IHDR, PLTE and tRNS rules, inflate
// through zlib in 8192-byte blocks, the five row filters, Adam7 interlacing, 16-bit samples to
// their high byte, and the resize mode.
//
// Input is refused safely: sizes above 65535 pixels, totals beyond the converter's limit ("Out Of
// Memory"), short reads, filter types above 4 and inflate errors end the image with failure; a
// tRNS over 256 bytes is skipped. A damaged CRC of a critical chunk is accepted, of an ancillary
// chunk reported (tRNS then drops its values).
//
// Decoded pixel forms (the converter's internal format): palette and grey images of depths 1, 2,
// 4, 8 as packed indices (grey indices into a grey ramp palette), 16-bit grey as its high byte,
// RGB as red, green, blue bytes, grey with alpha as grey and alpha bytes, RGBA as one native
// 32-bit word 0xRRGGBBAA. At 24-bit output every form is converted to colour: palette and grey
// images through their palette, the tRNS colour or index to the transparent value (flag 0x10),
// alpha kept as 0xRRGGBBAA words with flag 0x80 when the converter keeps alpha.
#pragma once

#include <cstdint>
#include <memory>

#include "gui/image/guiimageconvert.h"

class GuiPngConvert : public GuiImageConvert {
public:
    explicit GuiPngConvert(unsigned int id);
    ~GuiPngConvert() override;

    // Reads 8 bytes and compares them with the PNG signature.
    int IsValid();
    int ReadImage(int) override;
    int InitializeStructures();

    static uint32_t GuiPngGetUint32(const uint8_t* p);
    static uint16_t GuiPngGetUint16(const uint8_t* p);

private:
    struct ReadState;

    bool CreateReadStruct();
    void DestroyReadStruct();
    bool ReadPngHeader();
    bool HandleIHDR(uint32_t length);
    bool HandlePLTE(uint32_t length);
    bool HandleTRNS(uint32_t length);
    bool HandleUnknown(uint32_t length);
    bool CheckChunkName() const;
    bool ReadChunkHeader(uint32_t* length);
    bool CrcRead(uint8_t* buffer, uint32_t n);
    // Skips the rest of the chunk and compares its CRC; false on a short read, *match the result.
    bool CrcFinish(uint32_t rest, bool* match);
    void CrcError();
    bool ReadPngData();
    bool ReadPngRows(bool convert);
    bool ReadPngDataToSize();
    void ReadStartRow();
    bool ReadRow(uint8_t* decoded);
    bool InflateRow();
    bool ReadFilterRow();
    void ReadFinishRow();
    void ConvertRawToGui(uint8_t* decoded) const;
    bool ReadInterlaced(uint8_t* image, unsigned long stride);
    bool OutputRow(const uint8_t* decoded, uint8_t* out, unsigned int width);

    std::unique_ptr<ReadState> mpRead;
};
