#include "recovery/RestoreJob.h"

#include <vector>

#include "file/MftReader.h"
#include "ntfs/DATA_ATTRIBUTE.h"
#include "recovery/DataStream.h"
#include "platform/Platform.h"
#include "recovery/FileOutput.h"
#include "recovery/LogfileSearch.h"
#include "recovery/OutputDirectory.h"
#include "recovery/MftScan.h"
#include "recovery/Recoverability.h"
#include "recovery/SearchJob.h"

namespace resurgo {

RestoreJob::RestoreJob(SearchJob& job) : job_(job) {}

RestoreJob::~RestoreJob() {
    try {
        close();
    } catch (const ErrorException&) {
        // Closing a read-only source: nothing was written that could be lost.
    }
}

void RestoreJob::close() {
    entry_.close();
    log_.reset();
    selected_ = false;
    logged_ = false;
    if (!opened_) return;
    opened_ = false;
    job_.closeFilesystem();
}

RestoreJob::Status RestoreJob::open() {
    failure_.reset();
    if (job_.options.deep) {
        try {
            job_.openDeep();
        } catch (const ErrorException& e) {
            failure_ = e;
            return e.code() == kErrOpenDisk ? Status::BootFailed : Status::OpenFailed;
        }
        opened_ = true;
        return Status::Ready;
    }
    try {
        job_.prepareGeometry();
    } catch (const ErrorException& e) {
        failure_ = e;
        return Status::BootFailed;
    }
    try {
        job_.openFilesystem();
    } catch (const ErrorException& e) {
        failure_ = e;
        return Status::OpenFailed;
    }
    opened_ = true;
    return Status::Ready;
}

void RestoreJob::clearSelection() {
    failure_.reset();
    selected_ = false;
    logged_ = false;
    carved_.reset();
}

RestoreJob::Status RestoreJob::select(std::uint64_t record) {
    clearSelection();
    FilesystemNTFS& fs = job_.filesystem;
    if (record >= fs.mftEntry().recordCapacity()) return Status::NoSuchRecord;
    try {
        fs.openEntry(record, entry_);
    } catch (const ErrorException& e) {
        failure_ = e;
        return Status::Unreadable;
    }
    try {
        if (entry_.isDirectory()) return Status::Directory;
        // A shadow copy's file in use is a previous version to restore.
        if (!entry_.isDeleted() && job_.options.snapshot == 0) return Status::InUse;
        // Name and size must be readable for the restore to go on.
        name_ = entry_.getName();
        size_ = entry_.getRealSize();
    } catch (const ErrorException& e) {
        failure_ = e;
        return Status::Damaged;
    }
    selected_ = true;
    return Status::Ready;
}

RestoreJob::Status RestoreJob::selectAtOffset(std::uint64_t offset) {
    clearSelection();
    if (!opened_) return Status::Unreadable;
    try {
        job_.openDeepAt(offset, entry_);
    } catch (const ErrorException& e) {
        failure_ = e;
        return Status::Unreadable;
    }
    try {
        if (entry_.isDirectory()) return Status::Directory;
        if (job_.deepInUse(offset, entry_)) return Status::InUse;
        name_ = entry_.getName();
        if (name_.empty()) name_ = "record_" + std::to_string(entry_.recordNumber());
        size_ = entry_.getRealSize();
    } catch (const ErrorException& e) {
        failure_ = e;
        return Status::Damaged;
    }
    selected_ = true;
    return Status::Ready;
}

RestoreJob::Status RestoreJob::selectLogged(std::uint64_t record) {
    clearSelection();
    if (!opened_) return Status::Unreadable;
    if (!log_) {
        log_ = std::make_unique<LogfileSearch>(job_.filesystem);
        // With the MFT lost the log is found by its restart pages.
        if (job_.options.deep) log_->setStart(job_.deepLogStart());
        log_->read();
    }
    if (!log_->open(record, entry_)) return Status::NotLogged;
    try {
        name_ = entry_.getName();
        size_ = entry_.getRealSize();
    } catch (const ErrorException& e) {
        failure_ = e;
        return Status::Damaged;
    }
    selected_ = true;
    logged_ = true;
    return Status::Ready;
}

RestoreJob::Status RestoreJob::selectCarved(std::uint64_t offset) {
    clearSelection();
    FOUND_FILE file;
    try {
        if (!job_.measureCarved(offset, file)) return Status::NotCarved;
    } catch (const ErrorException& e) {
        failure_ = e;
        return Status::NotCarved;
    }
    name_ = file.name;
    size_ = file.size;
    carved_ = std::move(file);
    selected_ = true;
    return Status::Ready;
}

std::uint64_t RestoreJob::storedBytes() const {
    if (!selected_) return 0;
    if (carved_) return size_;
    try {
        return DataStream(job_.filesystem.volume(), job_.filesystem.geometry(), entry_).storedBytes();
    } catch (const ErrorException&) {
        return size_;
    }
}

std::uint64_t RestoreJob::recordCount() const {
    return opened_ ? job_.filesystem.mftEntry().recordCapacity() : 0;
}

RestoreJob::Status RestoreJob::created(const ErrorException& e) {
    failure_ = e;
    createFailure_ = platform().outputFailure(e.systemError());
    return createFailure_ == OutputFailure::Exists ? Status::NameTaken : Status::CreateFailed;
}

int RestoreJob::measureRecoverable(const std::atomic<std::uint8_t>* cancel) {
    measured_ = FOUND_FILE();
    if (!selected_) return -1;
    if (carved_) return 100;  // it validated whole
    const DATA_ATTRIBUTE* data = entry_.firstDataExtent();
    if (data == nullptr || !data->nonResident || size_ == 0) return Recoverability::kWhole;
    // A shadow copy's file in use holds its clusters in that copy.
    if (!logged_ && !entry_.isDeleted()) return Recoverability::kWhole;
    if (job_.options.deep || logged_) {
        // A file a scan or the log found: weighed against the current volume's $Bitmap
        // alone (the other files' claims would take a scan of the source).
        Recoverability::Batch batch;
        batch.want(batch.add(entry_, entry_.recordNumber(), job_.filesystem.geometry().clusterBytes()));
        Recoverability pass(job_.filesystem.access());
        pass.take(batch);
        std::vector<FOUND_FILE> one(1);
        one.front().recordNumber = entry_.recordNumber();
        pass.apply(one, 0);
        return one.front().recoverable;
    }
    // The search's walk, keeping this record alone, so that the claims of
    // all the other deleted files are weighed against it.
    SEARCH_FILTER filter;
    filter.record = entry_.recordNumber();
    SEARCH_CONTEXT context;
    context.cancel = cancel;
    std::vector<FOUND_FILE> found;
    try {
        MftScan(job_.filesystem.access(), job_.filesystem.directories()).run(filter, context, found);
    } catch (const ErrorException&) {
        return -1;
    }
    if (found.size() != 1 || (cancel != nullptr && cancel->load() == 1)) return -1;
    measured_ = found.front();
    return found.front().recoverable;
}

RestoreJob::Status RestoreJob::restoreTo(const std::string& target, OutputMode mode) {
    failure_.reset();
    closeFailed_ = false;
    createdName_.clear();
    std::optional<FileOutput> out;
    try {
        out.emplace(target, mode);
    } catch (const ErrorException& e) {
        return created(e);
    }
    return finish(*out);
}

RestoreJob::Status RestoreJob::restoreInto(OutputDirectory& directory, const std::string& name) {
    failure_.reset();
    closeFailed_ = false;
    createdName_.clear();
    std::optional<FileOutput> out;
    try {
        out.emplace(directory, name);
    } catch (const ErrorException& e) {
        return created(e);
    }
    createdName_ = out->name();
    return finish(*out);
}

RestoreJob::Status RestoreJob::finish(FileOutput& out) {
    Status status = restoreTo(static_cast<OutputSink&>(out));
    if (!out.close() && status != Status::CopyFailed) {
        closeFailed_ = true;
        failure_ = ErrorException(kErrWriteOutput, out.closeError(), "FilesystemNTFS::copyFileZ <Close>");
        return Status::CopyFailed;
    }
    // Nothing of the file could be read: no file of zeros is left behind.
    if (status != Status::CopyFailed && size_ > 0 && result_.unreadableBytes() >= size_) {
        out.remove();
        failure_ = ErrorException(kErrReadDisk, "FilesystemNTFS::copyFileZ <Nothing readable>");
        return Status::CopyFailed;
    }
    return status;
}

RestoreJob::Status RestoreJob::restoreTo(OutputSink& out) {
    failure_.reset();
    result_ = RESTORE_RESULT();
    if (!selected_) return Status::Damaged;
    try {
        if (carved_) {
            job_.copyCarved(*carved_, out);
            result_.bytesWritten = size_;
            return Status::Restored;
        }
        result_ = job_.filesystem.restore(entry_, out);
    } catch (const ErrorException& e) {
        failure_ = e;
        return Status::CopyFailed;
    }
    if (result_.zeroedBytes > 0) return Status::RestoredWiped;
    return result_.damagedUnits > 0 || !result_.unreadable.empty() ? Status::RestoredDamaged : Status::Restored;
}

bool RestoreJob::failedOnSource() const {
    if (!failure_) return false;
    return failure_->code() == kErrReadDisk || failure_->diagnostic() == MftReader::kRepeatedDiagnostic;
}

std::optional<std::uint64_t> RestoreJob::recordOffset(std::uint64_t record) const {
    try {
        return job_.filesystem.mftEntry().getSectorOfRecord(record) * job_.filesystem.geometry().bytesPerSector;
    } catch (const ErrorException&) {
        return std::nullopt;
    }
}

bool RestoreJob::availableSpace(const std::string& path, std::uint64_t& bytes) {
    return platform().availableSpace(path, bytes);
}

bool RestoreJob::destinationExists(const std::string& path) { return platform().fileExists(path); }

} // namespace resurgo
