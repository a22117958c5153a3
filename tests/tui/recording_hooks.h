// Dialog and screen hooks for tests: every question is recorded with its
// exact texts, and answers come from a script, so a command's whole dialog
// sequence can be checked without drawing anything.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "disk/view.h"
#include "tui/dialogs.h"

namespace kvtest {

struct DialogCall {
    std::string kind; // "message", "confirm", "input", "choice" or "redraw"
    bool warning = false;
    std::string title;
    std::string text; // the prompt of an input; empty for a choice
    std::string initial_text;
    size_t capacity = 0;
    std::vector<std::string> items;
    int initial = 0;
};

struct Progress {
    std::string title;
    int pass;
    int percent;
    std::string line;
};

// Answers are taken in order. An empty queue answers no, cancel or -1; with
// `strict` it also fails the test, so that an unexpected question is noticed.
struct DialogScript {
    std::vector<DialogCall> calls;
    std::deque<bool> confirms;
    std::deque<std::optional<std::string>> inputs; // nullopt: cancel
    std::deque<int> choices;
    kv::DiskView* last_redrawn = nullptr;
    std::vector<Progress> progress;
    std::deque<bool> stops; // stop-requested answers; none left: false
    std::function<void()> on_stop_poll;
    bool strict = false;

    std::vector<DialogCall> of(const std::string& kind) const {
        std::vector<DialogCall> out;
        for (const DialogCall& c : calls)
            if (c.kind == kind) out.push_back(c);
        return out;
    }
    std::vector<DialogCall> of_kind(const std::string& kind) const { return of(kind); }
    std::vector<DialogCall> dialogs() const {
        std::vector<DialogCall> out;
        for (const DialogCall& c : calls)
            if (c.kind != "redraw") out.push_back(c);
        return out;
    }
};

inline DialogScript g_script;

template <typename T> T next_answer(std::deque<T>& answers, T none, const char* what) {
    if (answers.empty()) {
        if (g_script.strict) ADD_FAILURE() << "unexpected dialog: " << what;
        return none;
    }
    T a = answers.front();
    answers.pop_front();
    return a;
}

inline void record(const char* kind, bool warning, const char* title, const char* text) {
    DialogCall c;
    c.kind = kind;
    c.warning = warning;
    c.title = title;
    c.text = text;
    g_script.calls.push_back(c);
}

inline void hook_message(bool warning, const char* title, const char* text) {
    record("message", warning, title, text);
}

inline bool hook_confirm(bool warning, const char* title, const char* text) {
    record("confirm", warning, title, text);
    return next_answer(g_script.confirms, false, text);
}

inline bool hook_input(bool warning, const char* title, const char* prompt, char* buffer,
                       size_t capacity) {
    record("input", warning, title, prompt);
    g_script.calls.back().initial_text = buffer;
    g_script.calls.back().capacity = capacity;
    std::optional<std::string> answer = next_answer(g_script.inputs, {}, prompt);
    if (!answer) return false;
    size_t n = std::min(answer->size(), capacity - 1);
    std::memcpy(buffer, answer->data(), n);
    buffer[n] = '\0';
    return true;
}

inline int hook_choice(const char* title, const char* const* items, int count, int initial) {
    record("choice", false, title, "");
    g_script.calls.back().items.assign(items, items + count);
    g_script.calls.back().initial = initial;
    return next_answer(g_script.choices, -1, title);
}

inline void hook_redraw(kv::DiskView* view) {
    record("redraw", false, "", "");
    g_script.last_redrawn = view;
}

inline void hook_progress(const char* title, int pass, int percent, const char* line) {
    g_script.progress.push_back({title, pass, percent, line});
}

inline bool hook_stop_requested() {
    if (g_script.on_stop_poll) g_script.on_stop_poll();
    if (g_script.stops.empty()) return false;
    bool stop = g_script.stops.front();
    g_script.stops.pop_front();
    return stop;
}

inline const kv::DialogHooks kRecordingDialogs = {hook_message, hook_confirm, hook_input,
                                                  hook_choice};
inline const kv::ScreenHooks kRecordingScreen = {hook_redraw, hook_progress, hook_stop_requested};

} // namespace kvtest
