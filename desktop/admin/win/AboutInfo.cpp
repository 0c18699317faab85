#include "desktop/admin/win/AboutDlg.h"
#include "desktop/admin/win/FileVersionInfo.h"
#include "desktop/admin/win/Info.h"
#include "desktop/resources/resource.h"

#include <string>

CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUTBOX) {}

BOOL CAboutDlg::OnInitDialog() {
    m_linkHome.m_link.m_link = makerHomepage;
    m_linkHome.SubclassDlgItem(IDC_HOME_LINK, this);
    SetWindowTextA(GetDlgItem(IDC_VERSION_TEXT), aboutVersionTextOfThisProgram().c_str());
    return TRUE;
}

Info::Info() : CPropertyPage(IDD_INFO) {}

BOOL Info::OnInitDialog() {
    m_linkHome.m_link.m_link = programHomepage;
    m_linkHome.SubclassDlgItem(IDC_HOME_LINK, this);
    m_linkIcon.m_link.m_link = programHomepage;
    m_linkIcon.SubclassDlgItem(IDC_INFO_ICON, this);
    m_linkMail.m_link.m_link = std::string("mailto:") + supportAddress;
    m_linkMail.SubclassDlgItem(IDC_MAIL_LINK, this);
    SetWindowTextA(GetDlgItem(IDC_VERSION_TEXT), infoVersionTextOfThisProgram().c_str());
    return TRUE;
}
