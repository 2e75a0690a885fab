// The news page: the operator's launcher page shown in the upper part of the
// launcher window, hosted in the system's web browser control through OLE.
// The host always loads a fresh copy of the page and, once it has loaded,
// opens links that lead away from it in the user's default browser.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <exdisp.h>
#include <mshtml.h>
#include <oleidl.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace kiv {

// ---- Configuration, fixed when the program is built ---------------------------------

// The operator's launcher page (an https address with the path "/launcher").
const std::wstring& launcherPageUrl();
// Its host name: used to purge cached copies and to recognise in-page links.
const std::wstring& launcherPageHost();

// ---- Decisions, free of any window or control ----------------------------------------

// The host part of an absolute address ("https://host:port/path" gives "host"),
// empty when the address has no "scheme://" part.
std::wstring urlHost(std::wstring_view url);

// The in-page marker: the host followed by "/launcher#".
std::wstring inPageMarker(std::wstring_view host);

// `url` with the cache-busting parameter: "&launcherReload=" when the address
// already holds a "?" anywhere, else "?launcherReload=", then `ticks` in decimal.
std::wstring appendReloadParameter(std::wstring_view url, std::uint64_t ticks);
// The same with the current GetTickCount64 value.
std::wstring appendReloadParameter(std::wstring_view url);

// Whether an element's tag name names a link ("A" in any case).
bool isAnchorTag(std::wstring_view tagName);

// Where a link address (an anchor's href, or the address of a navigation the
// page starts) is handled.
enum class LinkTarget {
    page,            // left to the page: "#...", "javascript:", "about:", the in-page marker
    defaultBrowser,  // opened with the shell in the user's default browser
    nowhere,         // cancelled and not opened: only web and mail addresses go to the shell
};
// Prefixes and the marker are compared case-sensitively.
LinkTarget linkTarget(std::wstring_view link, std::wstring_view marker);

// Whether the system's HTML engine can be started. Without it the browser
// control only paints an empty area, so the news page is not created.
bool htmlEngineAvailable();

// Deletes every entry of the system's URL cache whose source address contains
// `text` (case-sensitive). Does nothing when the cache is empty or unavailable.
void purgeUrlCache(std::wstring_view text);

// ---- The container ----------------------------------------------------------------

// One shared reference count for all four faces; it starts at 1, the
// reference of the owner. The owner calls close() and then Release(); the
// object deletes itself when its last reference goes, so a control that
// still holds the container never finds it freed.
class BrowserHost final : public IOleClientSite, public IOleInPlaceSite, public IOleInPlaceFrame, public IDispatch {
public:
    BrowserHost();
    BrowserHost(const BrowserHost&) = delete;
    BrowserHost& operator=(const BrowserHost&) = delete;

    // Creates the control in a child window of `parent` over `rect` and starts
    // loading `url` (with the reload parameter). True when the navigation was
    // accepted. Fails at once when the HTML engine is missing. On failure
    // everything made so far is released again, the child window included,
    // so the parent's own painting shows through.
    bool create(HWND parent, const RECT& rect, const std::wstring& url);
    // The same without asking for the HTML engine first: the control then
    // starts but can show nothing. Lets the container's life with a real
    // control be exercised where the engine is switched off.
    bool createControl(HWND parent, const RECT& rect, const std::wstring& url);
    // Disconnects the events, closes the control and destroys the child
    // window. Safe to call more than once.
    void close();

    // Offers a keyboard message for the page (its window or one inside it) to
    // the control's in-place active object, so that Tab, Enter, copying and
    // typing into forms work. True when the control consumed the message,
    // which must then not be dispatched.
    bool translateAccelerator(MSG& message);

    // A click on the page: opens a link that leads away from the page in the
    // default browser and cancels the click inside the page.
    void handleDocumentClick(IHTMLElement* element);

    // Whether the page is there to be seen: the control was created and the
    // page has reported no navigation error. Otherwise the child window is
    // hidden and the owner paints its placeholder in the area.
    bool showsPage() const { return hostWindow_ != nullptr && !pageFailed_; }
    // The control's browser interface (null before create and after close).
    IWebBrowser2* browser() const { return webBrowser_; }

    // IUnknown (shared)
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IOleClientSite
    STDMETHODIMP SaveObject() override;
    STDMETHODIMP GetMoniker(DWORD assign, DWORD whichMoniker, IMoniker** moniker) override;
    STDMETHODIMP GetContainer(IOleContainer** container) override;
    STDMETHODIMP ShowObject() override;
    STDMETHODIMP OnShowWindow(BOOL show) override;
    STDMETHODIMP RequestNewObjectLayout() override;

    // IOleWindow (shared by IOleInPlaceSite and IOleInPlaceFrame)
    STDMETHODIMP GetWindow(HWND* window) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL enterMode) override;

    // IOleInPlaceSite
    STDMETHODIMP CanInPlaceActivate() override;
    STDMETHODIMP OnInPlaceActivate() override;
    STDMETHODIMP OnUIActivate() override;
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document, LPRECT position,
                                  LPRECT clip, LPOLEINPLACEFRAMEINFO frameInfo) override;
    STDMETHODIMP Scroll(SIZE extent) override;
    STDMETHODIMP OnUIDeactivate(BOOL undoable) override;
    STDMETHODIMP OnInPlaceDeactivate() override;
    STDMETHODIMP DiscardUndoState() override;
    STDMETHODIMP DeactivateAndUndo() override;
    STDMETHODIMP OnPosRectChange(LPCRECT position) override;

    // IOleInPlaceUIWindow / IOleInPlaceFrame
    STDMETHODIMP GetBorder(LPRECT border) override;
    STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS widths) override;
    STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS widths) override;
    STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject* activeObject, LPCOLESTR name) override;
    STDMETHODIMP InsertMenus(HMENU shared, LPOLEMENUGROUPWIDTHS widths) override;
    STDMETHODIMP SetMenu(HMENU shared, HOLEMENU oleMenu, HWND activeObject) override;
    STDMETHODIMP RemoveMenus(HMENU shared) override;
    STDMETHODIMP SetStatusText(LPCOLESTR text) override;
    STDMETHODIMP EnableModeless(BOOL enable) override;
    STDMETHODIMP TranslateAccelerator(LPMSG message, WORD id) override;

    // IDispatch: the events of the control and of its current document.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo** typeInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID locale, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) override;

private:
    ~BrowserHost();

    void onDocumentComplete();
    void onDocumentClick();
    void onBeforeNavigate(DISPPARAMS* parameters);
    void onNavigateError(DISPPARAMS* parameters);
    // The current event of the loaded document, or null.
    IHTMLEventObj* currentEvent();

    HWND hostWindow_ = nullptr;
    IOleObject* oleObject_ = nullptr;
    IWebBrowser2* webBrowser_ = nullptr;
    IConnectionPoint* browserEventsPoint_ = nullptr;
    IConnectionPoint* documentEventsPoint_ = nullptr;
    IStorage* storage_ = nullptr;
    ILockBytes* lockBytes_ = nullptr;
    // The control's in-place active object, as it announces it to its frame.
    IOleInPlaceActiveObject* activeObject_ = nullptr;
    std::atomic<ULONG> refCount_{1};
    DWORD browserEventsCookie_ = 0;
    DWORD documentEventsCookie_ = 0;
    bool firstLoadPending_ = true;
    bool pageFailed_ = false;
};

}  // namespace kiv
