// The About box: modeless, one more per choice of the system menu entry; each deletes itself
// when its window closes.
#pragma once

#include "desktop/admin/win/StaticLink.h"
#include "desktop/framework/Dialog.h"

class CAboutDlg : public CDialog {
public:
    CAboutDlg();
    BOOL OnInitDialog() override;

    CStaticLink m_linkHome;

protected:
    void PostNcDestroy() override { delete this; }
};
