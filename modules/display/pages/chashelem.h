// The page's table of views by element index.
#pragma once

#include <cstddef>
#include <vector>

class CDataView;

class CHashElem {
public:
    explicit CHashElem(short capacity)
        : mCapacity(capacity < 0 ? 0 : capacity), mElems(std::size_t(mCapacity), nullptr) {}

    // Stores at the running count when that slot is empty; counts up in any case; the index.
    short AddElem(CDataView* view) {
        const short i = mCount;
        if (i >= 0 && i < mCapacity && !mElems[std::size_t(i)]) mElems[std::size_t(i)] = view;
        if (mCount < 0x7FFF) ++mCount;
        return i;
    }
    // Stores into an empty slot only: its index, or 0 when the slot is taken or outside the table.
    short AddElemAt(CDataView* view, short index) {
        if (index < 0 || index >= mCapacity || mElems[std::size_t(index)]) return 0;
        mElems[std::size_t(index)] = view;
        return index;
    }
    CDataView* GetElem(short index) const {
        return (index < 0 || index >= mCapacity) ? nullptr : mElems[std::size_t(index)];
    }
    short Capacity() const { return mCapacity; }

private:
    short mCapacity;
    short mCount = 0;
    std::vector<CDataView*> mElems;
};
