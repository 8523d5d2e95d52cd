#include "window_run_host.h"

#include <wx/msgdlg.h>

#include <chrono>

#include "progress_window.h"
#include "wx_text.h"

namespace quillon::ui {

void showPlainMessage(const std::string& text) {
    wxMessageDialog box(nullptr, toDisplay(text), messageCaption, wxOK | wxICON_NONE | wxSTAY_ON_TOP | wxCENTRE);
    box.ShowModal();
}

WindowRunHost::WindowRunHost(wxWindow& owner, MessageSink sink, MessageSink inputSink)
    : owner_(owner), sink_(std::move(sink)), inputSink_(std::move(inputSink)) {}

template <class Result>
Result WindowRunHost::onUiThread(std::function<Result()> task, Result fallback) {
    if (wxThread::IsMain()) return task();
    if (*abandoned_) return fallback;
    auto packaged = std::make_shared<std::packaged_task<Result()>>(std::move(task));
    std::future<Result> result = packaged->get_future();
    owner_.CallAfter([packaged, abandoned = abandoned_] {
        if (!*abandoned) (*packaged)();
    });
    // Polling rather than a plain wait lets an abandoned window release the worker.
    while (result.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
        if (*abandoned_) return fallback;
    }
    return result.get();
}

void WindowRunHost::showMessage(const std::string& text) {
    onUiThread<bool>(
        [this, text] {
            sink_(text);
            return true;
        },
        false);
}

void WindowRunHost::showInputMessage(const std::string& text) {
    if (!inputSink_) {
        showMessage(text);
        return;
    }
    onUiThread<bool>(
        [this, text] {
            inputSink_(text);
            return true;
        },
        false);
}

ProgressHandle WindowRunHost::progressInit(const std::string& caption) {
    return onUiThread<ProgressHandle>([this, caption] { return PROGRESS_INIT(&owner_, caption); }, 0);
}

void WindowRunHost::progressSet(ProgressHandle handle, const ProgressReport& report) {
    onUiThread<bool>(
        [handle, percent = report.percent, text = report.text] {
            PROGRESS_SET(handle, percent, text);
            return true;
        },
        false);
}

bool WindowRunHost::progressIsCancelled(ProgressHandle handle) {
    if (cancelRequested_) return true;
    return onUiThread<bool>([handle] { return PROGESS_IS_CANCELLED(handle) != 0; }, true);
}

void WindowRunHost::progressShutdown(ProgressHandle handle) {
    onUiThread<bool>(
        [handle] {
            PROGRESS_SHUTDOWN(handle);
            return true;
        },
        false);
}

}  // namespace quillon::ui
