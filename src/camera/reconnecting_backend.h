// What every reconnecting capture backend does the same way around the sensor
// it captures through: the application's calls reach the inner sensor under
// one lock, every control set successfully is kept (a reopened device starts
// from its driver's defaults), and a replacement found by the reconnect loop
// takes the inner sensor's place. A backend adds how it opens, whether its
// device is back and how it reopens it (Reconnectable).
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "camera/reconnect_loop.h"
#include "log/log.h"
#include "quorvan/camera.h"

namespace Quorvan {

template <typename Inner>
class ReconnectingBackend : public ReconnectingSensor, private Reconnectable {
public:
    int close() override {
        std::lock_guard<std::mutex> lock(inner_mutex_);
        released_ = false;
        return inner_ ? inner_->close() : QuorvanSuccess;
    }

    int start() override {
        connection_.streamStarted();
        std::lock_guard<std::mutex> lock(inner_mutex_);
        if (!inner_)
            return QuorvanUnkownError;
        // A device whose handles were let go starts again only after an open.
        if (released_)
            return QuorvanSystemError;
        inner_->subframe_count = subframe_count;
        return inner_->start();
    }

    int stop() override {
        std::lock_guard<std::mutex> lock(inner_mutex_);
        // Nothing of a released device is left to stop.
        if (!inner_ || released_)
            return QuorvanSuccess;
        return inner_->stop();
    }

    CameraInfo getFormat() override {
        std::lock_guard<std::mutex> lock(inner_mutex_);
        return inner_ ? inner_->getFormat() : CameraInfo{};
    }

    int setControl(CameraCtrl id, int value) override {
        std::lock_guard<std::mutex> lock(inner_mutex_);
        if (!inner_)
            return QuorvanUnkownError;
        const int result = inner_->setControl(id, value);
        if (result == QuorvanSuccess)
            keepSetting(id, value);
        return result;
    }

    int getControl(CameraCtrl id, int* value) override {
        std::lock_guard<std::mutex> lock(inner_mutex_);
        return inner_ ? inner_->getControl(id, value) : QuorvanUnkownError;
    }

    int getFrame(uint8_t* cache, uint64_t* timestamp) override {
        // The capture thread alone replaces inner_, so its own read needs no lock.
        return captureThrough(inner_.get(), *this, cache, timestamp);
    }

protected:
    // Under inner_mutex_: a fresh open forgets the last stream's settings.
    void replaceForOpen(std::unique_ptr<Inner> inner) {
        inner_ = std::move(inner);
        released_ = false;
        settings_.clear();
    }

    // Under inner_mutex_, on the capture thread: the kept settings are written
    // to the reopened sensor (in the order they were last set, so that one
    // which moves another, MODE moving RANGE, comes before a later write of
    // the other), its format must still be the stream's, and once started it
    // takes the old sensor's place. `what` names the device in the log.
    // False, with `fresh` closed, when the stream cannot go on with it.
    bool restartInPlace(std::unique_ptr<Inner> fresh, const CameraInfo& streamed,
                        const std::string& what) {
        for (const auto& [id, value] : settings_) {
            if (fresh->setControl(id, value) != QuorvanSuccess) {
                QUORVAN_LOGF(Camera, Warn, "QuorvanTOFCamera: %s refused a setting on its return",
                             what.c_str());
                fresh->close();
                return false;
            }
        }
        const CameraInfo now = fresh->getFormat();
        if (now.width != streamed.width || now.height != streamed.height ||
            now.bpp != streamed.bpp || now.bit_width != streamed.bit_width) {
            QUORVAN_LOGF(Camera, Error, "QuorvanTOFCamera: %s came back with another format",
                         what.c_str());
            fresh->close();
            return false;
        }
        if (fresh->start() != QuorvanSuccess) {
            fresh->stop();
            fresh->close();
            return false;
        }
        if (inner_ && !released_) {
            inner_->stop();
            inner_->close();
        }
        inner_ = std::move(fresh);
        released_ = false;
        return true;
    }

    // Under inner_mutex_: the vanished device's handles are closed now.
    void release() {
        if (inner_)
            inner_->close();
        released_ = true;
    }

    // Held by the application's calls and by the capture thread while it
    // releases or replaces inner_; no other camera ever takes it.
    mutable std::mutex inner_mutex_;
    std::unique_ptr<Inner> inner_;

private:
    void keepSetting(CameraCtrl id, int value) {
        settings_.erase(std::remove_if(settings_.begin(), settings_.end(),
                                       [id](const auto& setting) { return setting.first == id; }),
                        settings_.end());
        settings_.emplace_back(id, value);
    }

    // The device vanished and its handles are closed.
    bool released_ = false;
    // Every control set successfully, its last value, oldest write first.
    std::vector<std::pair<CameraCtrl, int>> settings_;
};

}  // namespace Quorvan
