// Klemora: the sheet, shown modally; the program ends when it closes.
#include "desktop/framework/WinApp.h"
#include "desktop/program/AllControlsSheet.h"
#include "desktop/resources/resource.h"

namespace {

class CKlemoraApp : public CWinApp {
public:
    CKlemoraApp() : CWinApp("Klemora") {}
    BOOL InitInstance() override {
        const std::string caption = loadString(IDS_CAPTION);
        CAllControlsSheet sheet(caption, nullptr, 0);
        m_pMainWnd = &sheet;
        sheet.DoModal();
        m_pMainWnd = nullptr;
        return FALSE;
    }
};

CKlemoraApp theApp;

} // namespace
