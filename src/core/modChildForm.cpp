#include "core/modChildForm.h"

#include "core/modIniFile.h"

#include <QWidget>

ChildForm::ChildForm(QWidget *window, FormId id, std::function<void(bool)> point, Options options)
    : m_window(window), m_id(id), m_point(std::move(point)), m_options(std::move(options))
{
    g_intFormOpen[m_id] = -1;
    m_point(true);
    g_subFormPosRecorderSet(m_id, [this] { record(); });
}

ChildForm::~ChildForm()
{
    g_subFormPosRecorderSet(m_id, nullptr);
    if (!m_closed) {
        g_intFormOpen[m_id] = 0;
        m_point(false);
    }
}

void ChildForm::record()
{
    const QWidget *w = m_window->parentWidget() ? m_window->parentWidget() : m_window;
    g_subFormPosSet(m_id, FormPosFromPx(w->geometry(), m_options.state ? m_options.state() : 0));
}

void ChildForm::closed()
{
    if (m_closed)
        return;
    m_closed = true;
    g_intFormOpen[m_id] = 0;
    if (m_options.recordOnClose)
        g_subFormPosGet(m_id);
    g_subFormPosRecorderSet(m_id, nullptr);
    m_point(false);
}
