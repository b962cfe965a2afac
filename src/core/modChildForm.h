#pragma once
// A child window's registration, the same for every window of the frame: while the window
// exists its open flag (g_intFormOpen) is -1 and a global pointer names it (the window's
// file keeps the pointer and hands it to the registration; its global name is a read-only
// view, W *const &), and g_subFormPosGet records its place (the geometry of
// its frame in the document area) into its g_FormPos record with the state it gives. Its
// close handler calls closed(): the flag is cleared first, then the place is recorded where
// the window records on closing (so a window the user closed is stored as closed and does
// not come back at the next start), then the pointer is cleared. Destroying the window does
// what is left of it.
#include "core/modMain1.h"

#include <QtGlobal>
#include <functional>

class QWidget;

class ChildForm {
public:
    struct Options {
        // The State field recorded with the geometry (0 when empty).
        std::function<qint32()> state;
        // Whether closing the window records its place (at shut-down every open window
        // records it).
        bool recordOnClose = true;
    };

    template <class W>
    ChildForm(W *window, FormId id, W *&pointer, Options options)
        : ChildForm(window, id, [&pointer, window](bool set) { pointer = set ? window : (pointer == window ? nullptr : pointer); },
                    std::move(options))
    {
    }
    ~ChildForm();
    ChildForm(const ChildForm &) = delete;
    ChildForm &operator=(const ChildForm &) = delete;

    // The close handler's part: flag, record, pointer; only the first call counts.
    void closed();
    bool isOpen() const { return !m_closed; }

private:
    ChildForm(QWidget *window, FormId id, std::function<void(bool)> point, Options options);
    void record();

    QWidget *m_window;
    FormId m_id;
    std::function<void(bool)> m_point;
    Options m_options;
    bool m_closed = false;
};
