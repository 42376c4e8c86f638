#include <new>

#include "display/data/cdata.h"
#include "display/data/cdata_conv.h"

namespace {

const awm_meas_in* ChInput(const display_elem_s* elem) {
    switch (elem->kind) {
    case ELEM_ALPHANUM:
        return &elem->alphanum.ch_input;
    case ELEM_BARGRAPH:
        return &elem->bargraph.ch_input;
    default:
        return nullptr; // a picture has no value channel
    }
}

const awm_meas_in* VisInput(const display_elem_s* elem) {
    switch (elem->kind) {
    case ELEM_ALPHANUM:
        return &elem->alphanum.vis_input;
    case ELEM_BARGRAPH:
        return &elem->bargraph.vis_input;
    case ELEM_PICTURE:
        return &elem->picture.vis_input;
    default:
        return nullptr;
    }
}

uint32_t VisMode(const display_elem_s* elem) {
    switch (elem->kind) {
    case ELEM_ALPHANUM:
        return elem->alphanum.vis_mode;
    case ELEM_BARGRAPH:
        return elem->bargraph.vis_mode;
    case ELEM_PICTURE:
        return elem->picture.vis_mode;
    default:
        return VIS_ALWAYS;
    }
}

} // namespace

uint8_t CData::convDataType(uint32_t typeEnum) {
    static const uint8_t kRaw[9] = {RAW_NONE,   RAW_UINT8,  RAW_SINT8, RAW_UINT16, RAW_SINT16,
                                    RAW_UINT32, RAW_SINT32, RAW_FLOAT, RAW_FLAG};
    return typeEnum < 9 ? kRaw[typeEnum] : uint8_t{RAW_NONE};
}

void CData::copyInput(const awm_meas_in& in) {
    address = in.adr;
    mask = in.mask;
    shift = cdataShiftOf(in.mask);
    type = convDataType(in.type);
    a = in.quant_a;
    b = in.quant_b;
    c = in.quant_c;
    d = in.quant_d;
    e = in.quant_e;
    f = in.quant_f;
}

CData::CData(const display_elem_s* elem, CDataType_t kind) : kind(kind) {
    if (!elem) return;
    if (kind == CDATA_VISIBILITY) {
        if (const awm_meas_in* in = VisInput(elem)) copyInput(*in);
        dispmode = CDATA_MODE_VISIBILITY;
        return;
    }
    if (const awm_meas_in* in = ChInput(elem)) copyInput(*in);
    if (elem->kind == ELEM_ALPHANUM) {
        dispmode = elem->alphanum.dispmode;
        if (dispmode == DISPMODE_VERBAL) vtab = elem->alphanum.vtab;
    }
}

CData::CData(const awm_meas_in* input) : kind(CDATA_CONFIG) {
    if (input) copyInput(*input);
}

bool CData::containsMeasChan(const display_elem_s* elem) {
    const awm_meas_in* in = elem ? ChInput(elem) : nullptr;
    return in && in->type != 0; // the type is given whenever the ChInput tag is
}

bool CData::containsVisChan(const display_elem_s* elem) {
    return elem && VisMode(elem) != VIS_ALWAYS;
}

bool CData::isEqualData(const CData* o) const {
    return o && o->address == address && o->type == type && o->mask == mask && o->dispmode == dispmode &&
           dispmode != 0;
}

CDataMeas* CData::newMeas() {
    const float coeff[6] = {a, b, c, d, e, f};
    auto* m = new (std::nothrow) CDataMeas(address, mask, type, coeff, vtab, dispmode);
    if (m && !m->valid()) {
        delete m;
        m = nullptr;
    }
    meas = m;
    return m;
}
