// A static control that shows its text as a link and opens its target through the shell when
// clicked: blue until followed, purple after; a hand cursor over it.
#pragma once

#include "desktop/framework/Static.h"
#include "win32/Gdi.h"

#include <string>

// What a link opens.
class CLinkTarget {
public:
    virtual ~CLinkTarget() = default;
    // The shell's answer: above 32 is success; 0 for an empty link.
    virtual INT_PTR navigate();
    std::string m_link;
};

class CStaticLink : public CStatic {
public:
    explicit CStaticLink(const char* link = nullptr, bool deleteOnDestroy = false);
    ~CStaticLink() override;

    CLinkTarget m_link;
    COLORREF m_color;
    FontHandle m_font;
    bool m_bDeleteOnDestroy;

    static constexpr COLORREF unvisitedColor = RGB(0, 0, 255);
    static constexpr COLORREF visitedColor = RGB(128, 0, 128);

protected:
    LRESULT windowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    void PostNcDestroy() override;

private:
    LRESULT drawAsLink(HDC dc);
    void follow();
};
