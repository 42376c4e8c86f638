#include <cstring>

#include "display/data/cdata.h"
#include "display/data/cdata_conv.h"
#include "framework/syslog.h"

namespace {

uint32_t Be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

bool IsSigned(uint8_t type) {
    return type == RAW_SINT8 || type == RAW_SINT16 || type == RAW_SINT32;
}

} // namespace

CDataMeas::CDataMeas(uint32_t address, uint32_t mask, uint8_t type, const float coeff[6], verbtab_s* vtab,
                     uint32_t dispmode)
    : address(address), mask(mask), shift(cdataShiftOf(mask)), type(type), a(coeff[0]), b(coeff[1]),
      c(coeff[2]), d(coeff[3]), e(coeff[4]), f(coeff[5]), vtab(vtab), dispmode(dispmode) {
    sem = semBCreate(SEM_Q_FIFO, SEM_FULL);
    if (sem == SEM_ID_NULL) syslogx(LOG_PRIO_DEBUG, "CDataMeas constructor semBCreate failed");
}

CDataMeas::~CDataMeas() {
    if (sem != SEM_ID_NULL) semDelete(sem);
}

void CDataMeas::putData(const void* sample) {
    const auto* p = static_cast<const uint8_t*>(sample);
    if (!p) return;
    if (semTake(sem, WAIT_FOREVER) != OK) {
        syslogx(LOG_PRIO_DEBUG, "CDataMeas::putData(...) semTake failed.");
        return;
    }
    switch (type) {
    case RAW_SINT8:
        raw.word = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(p[0])));
        break;
    case RAW_UINT8:
    case RAW_FLAG:
        raw.word = p[0];
        break;
    case RAW_SINT16:
        raw.word = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>((p[0] << 8) | p[1])));
        break;
    case RAW_UINT16:
        raw.word = static_cast<uint32_t>((p[0] << 8) | p[1]);
        break;
    case RAW_SINT32:
    case RAW_UINT32:
        raw.word = Be32(p);
        break;
    case RAW_FLOAT: {
        const uint32_t w = Be32(p);
        float v;
        std::memcpy(&v, &w, 4);
        raw.real = v;
        break;
    }
    default:
        break;
    }
    fresh.store(1);
    semGive(sem);
}

void CDataMeas::getRawData(unsigned& out) {
    if (semTake(sem, WAIT_FOREVER) != OK) {
        syslogx(LOG_PRIO_DEBUG, "CData::getRawData(GUIUINT) semTake failed.");
        return;
    }
    out = type == RAW_FLOAT ? cdataTruncU32(raw.real) : type == RAW_NONE ? 0u : raw.word;
    semGive(sem);
}

void CDataMeas::getRawData(int& out) {
    if (semTake(sem, WAIT_FOREVER) != OK) {
        syslogx(LOG_PRIO_DEBUG, "CData::getRawData(GUIINT) semTake failed.");
        return;
    }
    out = type == RAW_FLOAT ? cdataTruncI32(raw.real) : type == RAW_NONE ? 0 : static_cast<int32_t>(raw.word);
    semGive(sem);
}

void CDataMeas::getRawData(double& out) {
    if (semTake(sem, WAIT_FOREVER) != OK) {
        syslogx(LOG_PRIO_DEBUG, "CData::getRawData(double) semTake failed.");
        return;
    }
    if (type == RAW_FLOAT)
        out = raw.real;
    else if (type == RAW_NONE)
        out = 0;
    else
        out = IsSigned(type) ? double(static_cast<int32_t>(raw.word)) : double(raw.word);
    semGive(sem);
}

void CDataMeas::updateData() {
    if (semTake(sem, WAIT_FOREVER) != OK) return;
    double x;
    if (type == RAW_FLOAT) {
        x = raw.real;
    } else if (IsSigned(type)) {
        x = static_cast<int32_t>(raw.word) >> shift; // arithmetic: the mask is not applied
    } else {
        uint32_t w = type == RAW_NONE ? 0 : raw.word;
        if (mask) w &= mask;
        x = w >> shift;
    }
    semGive(sem);
    converted = (a * x * x + b * x + c) / (d * x * x + e * x + f);
}

void CDataMeas::getQuantData(unsigned& out) const {
    out = cdataTruncU32(converted);
}

void CDataMeas::getQuantData(int& out) const {
    out = cdataTruncI32(converted);
}

void CDataMeas::getQuantData(double& out) const {
    out = converted;
}

void CDataMeas::getDataStr(const char* format, char* out) const {
    if (!out) return;
    out[0] = '\0';
    if (!getMeasUpdateState() || dispmode < 1 || dispmode > 7) return;
    CDataFormat(dispmode, converted, format, vtab, out);
}
