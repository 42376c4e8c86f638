#include "logging/store/store_action.h"

#include "framework/syslog.h"
#include "logging/store/store_vfile.h"
#include "logging/store/store_writer.h"
#include "platform/rtos/rtos.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace measure::store {

bool Action::isValidType(Writer& writer) const {
    return (mask_ & writer.type()) != 0;
}

int Action::execute(Writer& writer) {
    if (!isValidType(writer)) return ACTION_SKIPPED;
    return executeFunc(writer) ? ACTION_OK : ACTION_FAILED;
}

ActionData::ActionData(int vfIdx, uint8_t* data, uint32_t length, uint32_t firstTs, uint32_t lastTs)
    : ActionVfIdx(vfIdx), data_(data), length_(length) {
    ts_ = lastTs;
    firstTs_ = firstTs;
}

ActionData::~ActionData() {
    std::free(data_);
}

bool ActionData::executeFunc(Writer& writer) {
    return writer.write(vfIdx_, data_, length_);
}

ActionMetaData::ActionMetaData(int vfIdx, uint8_t* data, uint32_t length, uint8_t type)
    : ActionData(vfIdx, data, length, 0, 0), type_(type) {
    forward_ =
        (type == MEAS_META_SB_FRAME || type == MEAS_META_STATUSBLOCK || type == MEAS_META_CLOSE_TS) ? 1 : 0;
}

bool ActionMetaData::executeFunc(Writer& writer) {
    return writer.writeMetaData(vfIdx_, data_, length_, type_);
}

ActionOpen::ActionOpen(VirtualFile* vfile, int vfIdx, int measIdx)
    : ActionVfIdx(vfIdx), measIdx_(measIdx), vfile_(vfile) {
    if (!vfile) throw "ActionOpen(NULL, ...) received no vfile pointer";
    forward_ = 1;
}

bool ActionOpen::executeFunc(Writer& writer) {
    // The file cannot go while this action is in the list: its close action comes later.
    ScopeLock guard(virtualFiles, "ActionOpen::execute");
    if (!vfile_->isRegisteredWriter(measIdx_, writer.getID())) {
        vfile_->registerWriter(measIdx_, writer.getID(), writer.type() == WRITER_USB);
        char name[MEAS_FILENAME_LEN] = "";
        vfile_->getFileName(name, sizeof name);
        syslogx(LOG_PRIO_INFO2, "ActionOpen::execute() - attached writer late %s", name);
    }
    return true;
}

ActionClose::ActionClose(int vfIdx, int measIdx) : ActionVfIdx(vfIdx), measIdx_(measIdx) {
    forward_ = 1;
    // Outside the table's lock: the file store's queue lock is taken inside, and the file store
    // takes the table's lock under its queue lock. Only this action's end destroys the file.
    VirtualFile* vf;
    {
        ScopeLock guard(virtualFiles, "ActionClose::ActionClose");
        vf = virtualFiles.get(measIdx, vfIdx);
    }
    if (vf)
        vf->invalidateFileInfo();
    else
        syslogx(LOG_PRIO_ERR, "ActionClose::ActionClose() - vfile index %d/%d is invalid!", measIdx, vfIdx);
}

void ActionClose::freeSlot() {
    if (!kept_) kept_ = virtualFiles.remove(measIdx_, vfIdx_);
}

ActionClose::~ActionClose() {
    VirtualFile* vf = kept_ ? kept_ : virtualFiles.remove(measIdx_, vfIdx_);
    if (vf)
        delete vf;
    else
        syslogx(LOG_PRIO_ERR, "ActionClose::~ActionClose() - vfile index %d/%d is invalid!", measIdx_,
                vfIdx_);
}

bool ActionClose::executeFunc(Writer& writer) {
    const bool ok = writer.close(vfIdx_);
    // Done with it on this drive, whole or not (a failure is the writer's to tell): the file
    // store's record learns it. The virtual file stays until every writer has passed this action.
    // A close that goes on beside the writer tells the record itself.
    if (!writer.stalled() && !writer.closeSettlesLater()) {
        ScopeLock guard(virtualFiles, "ActionClose::execute");
        if (VirtualFile* vf = virtualFiles.get(measIdx_, vfIdx_)) {
            if (ok)
                vf->closedBy(measIdx_, writer.actionID());
            else
                vf->failedBy(measIdx_, writer.actionID());
        }
    }
    return ok;
}

ActionFlushFile::ActionFlushFile(int vfIdx) : ActionVfIdx(vfIdx) {
    mask_ = WRITER_FILES;
    forward_ = 1;
}

bool ActionFlushFile::executeFunc(Writer& writer) {
    return writer.flush(vfIdx_);
}

ActionFlushDir::ActionFlushDir() {
    mask_ = WRITER_FILES;
    forward_ = 1;
}

bool ActionFlushDir::executeFunc(Writer& writer) {
    return writer.flushDir();
}

ActionFlushAll::ActionFlushAll() {
    mask_ = WRITER_FILES;
    forward_ = 1;
}

bool ActionFlushAll::executeFunc(Writer& writer) {
    return writer.flushAll();
}

ActionFileCopy::ActionFileCopy(const CopyFile_t& request, int measIdx)
    : request_(request), measIdx_(measIdx) {
    mask_ = WRITER_DRIVE;
    forward_ = 1;
    nameLength_ = request.targetDrive ? uint32_t(strnlen(request.targetDrive, MEAS_FILENAME_LEN)) : 0;
}

ActionFileCopy::~ActionFileCopy() {
    if (!started_) meas_app_copyFinished(measIdx_, request_, MEAS_COPY_RESULT_FAILED);
    if (request_.ownsTarget) std::free(request_.targetDrive);
}

bool ActionFileCopy::executeFunc(Writer&) {
    if (started_) return true;
    started_ = true;
    return meas_app_copyFileStart(request_, measIdx_);
}

} // namespace measure::store
