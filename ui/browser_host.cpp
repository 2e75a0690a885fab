#include "ui/browser_host.h"

#include "base/base.h"

#include <exdispid.h>
#include <mshtmdid.h>
#include <shellapi.h>
#include <wininet.h>

#include <algorithm>
#include <vector>

namespace kiv {

namespace {

// The document's event interface; the cross toolchain's uuid library lacks it.
constexpr IID kHtmlDocumentEvents2 = {0x3050f613, 0x98b5, 0x11cf, {0xbb, 0x82, 0x00, 0xaa, 0x00, 0xbd, 0xce, 0x0b}};

// The HTML document class of the system's HTML engine.
constexpr CLSID kHtmlDocument = {0x25336920, 0x03f9, 0x11cf, {0x8f, 0xd0, 0x00, 0xaa, 0x00, 0x68, 0x6f, 0x13}};

constexpr wchar_t kContainerName[] = L"KIV Launcher";
// navNoHistory | navNoReadFromCache | navNoWriteToCache
constexpr LONG kNavigationFlags = 14;

constexpr DISPID kDocumentComplete = DISPID_DOCUMENTCOMPLETE;          // 259
constexpr DISPID kBeforeNavigate2 = DISPID_BEFORENAVIGATE2;            // 250
constexpr DISPID kNavigateError = DISPID_NAVIGATEERROR;                // 271
constexpr DISPID kDocumentClick = DISPID_HTMLDOCUMENTEVENTS2_ONCLICK;  // -600

// Releases a COM pointer and clears it.
template <typename T>
void releaseAndClear(T*& pointer) {
    if (pointer != nullptr) {
        pointer->Release();
        pointer = nullptr;
    }
}

// Holds one reference for the length of a scope.
template <typename T>
class Held {
public:
    Held() = default;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() { releaseAndClear(pointer_); }
    T** out() { return &pointer_; }
    T* get() const { return pointer_; }
    T* operator->() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }

private:
    T* pointer_ = nullptr;
};

// A BSTR freed at the end of its scope.
class HeldString {
public:
    HeldString() = default;
    HeldString(const HeldString&) = delete;
    HeldString& operator=(const HeldString&) = delete;
    ~HeldString() { SysFreeString(text_); }
    BSTR* out() { return &text_; }
    std::wstring_view view() const { return text_ != nullptr ? std::wstring_view(text_, SysStringLen(text_)) : L""; }

private:
    BSTR text_ = nullptr;
};

bool startsWith(std::wstring_view text, std::wstring_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// Only web and mail addresses are handed to the shell: anything else (file
// paths, network shares, other protocol handlers) would let a page start
// programs on the player's machine.
bool isShellOpenable(std::wstring_view link) {
    return startsWithIgnoringCase(link, L"http://") || startsWithIgnoringCase(link, L"https://") ||
           startsWithIgnoringCase(link, L"mailto:");
}

void openInDefaultBrowser(std::wstring_view link) {
    std::wstring address(link);
    ShellExecuteW(nullptr, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

const std::wstring& launcherMarker() {
    static const std::wstring marker = inPageMarker(launcherPageHost());
    return marker;
}

}  // namespace

// ---- Configuration -----------------------------------------------------------------

const std::wstring& launcherPageUrl() {
    static const std::wstring url = L"" KIV_LAUNCHER_PAGE_URL;
    return url;
}

const std::wstring& launcherPageHost() {
    static const std::wstring host = urlHost(launcherPageUrl());
    return host;
}

// ---- Decisions -------------------------------------------------------------------------

std::wstring urlHost(std::wstring_view url) {
    std::size_t schemeEnd = url.find(L"://");
    if (schemeEnd == std::wstring_view::npos) return {};
    std::wstring_view authority = url.substr(schemeEnd + 3);
    authority = authority.substr(0, authority.find_first_of(L"/?#"));
    std::size_t at = authority.rfind(L'@');
    if (at != std::wstring_view::npos) authority.remove_prefix(at + 1);
    // A port follows the last colon, unless that colon is inside "[...]".
    std::size_t colon = authority.rfind(L':');
    std::size_t bracket = authority.rfind(L']');
    if (colon != std::wstring_view::npos && (bracket == std::wstring_view::npos || colon > bracket)) {
        authority = authority.substr(0, colon);
    }
    return std::wstring(authority);
}

std::wstring inPageMarker(std::wstring_view host) { return std::wstring(host) + L"/launcher#"; }

std::wstring appendReloadParameter(std::wstring_view url, std::uint64_t ticks) {
    std::wstring address(url);
    address += url.find(L'?') != std::wstring_view::npos ? L"&launcherReload=" : L"?launcherReload=";
    address += std::to_wstring(ticks);
    return address;
}

std::wstring appendReloadParameter(std::wstring_view url) { return appendReloadParameter(url, GetTickCount64()); }

bool isAnchorTag(std::wstring_view tagName) { return tagName == L"A" || tagName == L"a"; }

LinkTarget linkTarget(std::wstring_view link, std::wstring_view marker) {
    if (startsWith(link, L"#") || startsWith(link, L"javascript:") || startsWith(link, L"about:")) {
        return LinkTarget::page;
    }
    if (!marker.empty() && link.size() >= marker.size() && link.find(marker) != std::wstring_view::npos) {
        return LinkTarget::page;
    }
    return isShellOpenable(link) ? LinkTarget::defaultBrowser : LinkTarget::nowhere;
}

bool htmlEngineAvailable() {
    IClassFactory* factory = nullptr;
    if (FAILED(CoGetClassObject(kHtmlDocument, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory))) ||
        factory == nullptr) {
        return false;
    }
    factory->Release();
    return true;
}

void purgeUrlCache(std::wstring_view text) {
    // Every address contains the empty text: purging it would empty the whole cache.
    if (text.empty()) return;

    DWORD size = 0;
    if (FindFirstUrlCacheEntryW(nullptr, nullptr, &size) != nullptr || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return;
    }
    // Entries are read into a zero-filled, suitably aligned block that is never
    // smaller than the fixed part of an entry.
    std::vector<ULONGLONG> buffer;
    auto prepare = [&buffer](DWORD bytes) {
        std::size_t words = (std::max<std::size_t>(bytes, sizeof(INTERNET_CACHE_ENTRY_INFOW)) + 7) / 8;
        buffer.assign(std::max(words, buffer.size()), 0);
        return reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer.data());
    };
    INTERNET_CACHE_ENTRY_INFOW* entry = prepare(size);
    HANDLE enumeration = FindFirstUrlCacheEntryW(nullptr, entry, &size);
    if (enumeration == nullptr) return;

    for (;;) {
        if (entry->lpszSourceUrlName != nullptr &&
            std::wstring_view(entry->lpszSourceUrlName).find(text) != std::wstring_view::npos) {
            // Copied first: the entry's strings live in the buffer, which the
            // next read overwrites.
            std::wstring source(entry->lpszSourceUrlName);
            DeleteUrlCacheEntryW(source.c_str());
        }
        size = 0;
        if (FindNextUrlCacheEntryW(enumeration, nullptr, &size) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
        entry = prepare(size);
        if (!FindNextUrlCacheEntryW(enumeration, entry, &size)) break;
    }
    FindCloseUrlCache(enumeration);
}

// ---- Construction and teardown ------------------------------------------------------

BrowserHost::BrowserHost() = default;

BrowserHost::~BrowserHost() { close(); }

bool BrowserHost::create(HWND parent, const RECT& rect, const std::wstring& url) {
    // The browser control starts without the engine but can then show nothing.
    if (!htmlEngineAvailable()) {
        close();
        return false;
    }
    return createControl(parent, rect, url);
}

bool BrowserHost::createControl(HWND parent, const RECT& rect, const std::wstring& url) {
    close();
    pageFailed_ = false;
    auto fail = [this] {
        close();
        return false;
    };

    hostWindow_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, rect.left, rect.top,
                                  rect.right - rect.left, rect.bottom - rect.top, parent, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    if (hostWindow_ == nullptr) return fail();

    if (FAILED(CreateILockBytesOnHGlobal(nullptr, TRUE, &lockBytes_)) || lockBytes_ == nullptr) return fail();
    if (FAILED(StgCreateDocfileOnILockBytes(lockBytes_, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                            &storage_)) ||
        storage_ == nullptr) {
        return fail();
    }

    if (FAILED(OleCreate(CLSID_WebBrowser, IID_IOleObject, OLERENDER_DRAW, nullptr, static_cast<IOleClientSite*>(this),
                         storage_, reinterpret_cast<void**>(&oleObject_))) ||
        oleObject_ == nullptr) {
        oleObject_ = nullptr;
        return fail();
    }
    OleSetContainedObject(oleObject_, TRUE);
    oleObject_->SetHostNames(kContainerName, nullptr);

    RECT client{};
    GetClientRect(hostWindow_, &client);
    if (FAILED(
            oleObject_->DoVerb(OLEIVERB_SHOW, nullptr, static_cast<IOleClientSite*>(this), 0, hostWindow_, &client))) {
        return fail();
    }

    if (FAILED(oleObject_->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(&webBrowser_))) ||
        webBrowser_ == nullptr) {
        webBrowser_ = nullptr;
        return fail();
    }

    // Without the browser's events the page still shows; only the link
    // filters stay inactive.
    {
        Held<IConnectionPointContainer> container;
        if (SUCCEEDED(webBrowser_->QueryInterface(IID_IConnectionPointContainer,
                                                  reinterpret_cast<void**>(container.out()))) &&
            container && SUCCEEDED(container->FindConnectionPoint(DIID_DWebBrowserEvents2, &browserEventsPoint_)) &&
            browserEventsPoint_ != nullptr) {
            DWORD cookie = 0;
            if (SUCCEEDED(browserEventsPoint_->Advise(static_cast<IDispatch*>(this), &cookie))) {
                browserEventsCookie_ = cookie;
            }
        }
    }

    purgeUrlCache(launcherPageHost());
    std::wstring address = appendReloadParameter(url);
    webBrowser_->put_Silent(VARIANT_TRUE);

    BSTR target = SysAllocStringLen(address.data(), static_cast<UINT>(address.size()));
    if (target == nullptr) return fail();
    VARIANT flags;
    VariantInit(&flags);
    flags.vt = VT_I4;
    flags.lVal = kNavigationFlags;
    VARIANT empty;
    VariantInit(&empty);
    HRESULT navigated = webBrowser_->Navigate(target, &flags, &empty, &empty, &empty);
    SysFreeString(target);
    if (FAILED(navigated)) return fail();
    return true;
}

void BrowserHost::close() {
    if (documentEventsPoint_ != nullptr) {
        if (documentEventsCookie_ != 0) {
            documentEventsPoint_->Unadvise(documentEventsCookie_);
            documentEventsCookie_ = 0;
        }
        releaseAndClear(documentEventsPoint_);
    }
    if (browserEventsPoint_ != nullptr) {
        if (browserEventsCookie_ != 0) {
            browserEventsPoint_->Unadvise(browserEventsCookie_);
            browserEventsCookie_ = 0;
        }
        releaseAndClear(browserEventsPoint_);
    }
    releaseAndClear(activeObject_);
    releaseAndClear(webBrowser_);
    if (oleObject_ != nullptr) {
        oleObject_->Close(OLECLOSE_NOSAVE);
        oleObject_->SetClientSite(nullptr);
        releaseAndClear(oleObject_);
    }
    releaseAndClear(storage_);
    releaseAndClear(lockBytes_);
    if (hostWindow_ != nullptr) {
        DestroyWindow(hostWindow_);
        hostWindow_ = nullptr;
    }
}

bool BrowserHost::translateAccelerator(MSG& message) {
    if (message.message < WM_KEYFIRST || message.message > WM_KEYLAST || hostWindow_ == nullptr) return false;
    // Only keys aimed at the page: the rest of the window has its own handling.
    if (message.hwnd != hostWindow_ && !IsChild(hostWindow_, message.hwnd)) return false;
    IOleInPlaceActiveObject* active = activeObject_;
    Held<IOleInPlaceActiveObject> asked;
    if (active == nullptr && oleObject_ != nullptr &&
        SUCCEEDED(oleObject_->QueryInterface(IID_IOleInPlaceActiveObject, reinterpret_cast<void**>(asked.out())))) {
        active = asked.get();
    }
    return active != nullptr && active->TranslateAccelerator(&message) == S_OK;
}

// ---- IUnknown -------------------------------------------------------------------------

STDMETHODIMP BrowserHost::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOleClientSite)) {
        *object = static_cast<IOleClientSite*>(this);
    } else if (IsEqualIID(riid, IID_IOleInPlaceSite) || IsEqualIID(riid, IID_IOleWindow)) {
        *object = static_cast<IOleInPlaceSite*>(this);
    } else if (IsEqualIID(riid, IID_IOleInPlaceFrame)) {
        *object = static_cast<IOleInPlaceFrame*>(this);
    } else if (IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, DIID_DWebBrowserEvents2)) {
        *object = static_cast<IDispatch*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) BrowserHost::AddRef() { return ++refCount_; }

STDMETHODIMP_(ULONG) BrowserHost::Release() {
    ULONG count = --refCount_;
    if (count == 0) {
        // The teardown hands the control back its references; whatever it
        // releases on the way must not bring the count to zero a second time.
        refCount_ = 1u << 30;
        delete this;
    }
    return count;
}

// ---- IOleClientSite -------------------------------------------------------------------

STDMETHODIMP BrowserHost::SaveObject() { return E_NOTIMPL; }

STDMETHODIMP BrowserHost::GetMoniker(DWORD, DWORD, IMoniker**) { return E_NOTIMPL; }

STDMETHODIMP BrowserHost::GetContainer(IOleContainer** container) {
    if (container != nullptr) *container = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP BrowserHost::ShowObject() { return S_OK; }

STDMETHODIMP BrowserHost::OnShowWindow(BOOL) { return S_OK; }

STDMETHODIMP BrowserHost::RequestNewObjectLayout() { return E_NOTIMPL; }

// ---- IOleWindow -----------------------------------------------------------------------

STDMETHODIMP BrowserHost::GetWindow(HWND* window) {
    if (window == nullptr) return E_POINTER;
    *window = hostWindow_;
    return S_OK;
}

STDMETHODIMP BrowserHost::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

// ---- IOleInPlaceSite ------------------------------------------------------------------

STDMETHODIMP BrowserHost::CanInPlaceActivate() { return S_OK; }

STDMETHODIMP BrowserHost::OnInPlaceActivate() { return S_OK; }

STDMETHODIMP BrowserHost::OnUIActivate() { return S_OK; }

STDMETHODIMP BrowserHost::GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document, LPRECT position,
                                           LPRECT clip, LPOLEINPLACEFRAMEINFO frameInfo) {
    if (frame == nullptr || document == nullptr || position == nullptr || clip == nullptr || frameInfo == nullptr) {
        return E_POINTER;
    }
    *frame = static_cast<IOleInPlaceFrame*>(this);
    AddRef();
    *document = nullptr;
    RECT client{};
    if (hostWindow_ != nullptr) GetClientRect(hostWindow_, &client);
    *position = client;
    *clip = client;
    frameInfo->cb = sizeof(OLEINPLACEFRAMEINFO);
    frameInfo->fMDIApp = FALSE;
    frameInfo->hwndFrame = hostWindow_;
    frameInfo->haccel = nullptr;
    frameInfo->cAccelEntries = 0;
    return S_OK;
}

STDMETHODIMP BrowserHost::Scroll(SIZE) { return E_NOTIMPL; }

STDMETHODIMP BrowserHost::OnUIDeactivate(BOOL) { return S_OK; }

STDMETHODIMP BrowserHost::OnInPlaceDeactivate() { return S_OK; }

STDMETHODIMP BrowserHost::DiscardUndoState() { return E_NOTIMPL; }

STDMETHODIMP BrowserHost::DeactivateAndUndo() { return E_NOTIMPL; }

STDMETHODIMP BrowserHost::OnPosRectChange(LPCRECT position) {
    if (oleObject_ == nullptr || position == nullptr) return S_OK;
    Held<IOleInPlaceObject> inPlace;
    if (SUCCEEDED(oleObject_->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(inPlace.out()))) &&
        inPlace) {
        inPlace->SetObjectRects(position, position);
    }
    return S_OK;
}

// ---- IOleInPlaceFrame -----------------------------------------------------------------

STDMETHODIMP BrowserHost::GetBorder(LPRECT) { return E_NOTIMPL; }

STDMETHODIMP BrowserHost::RequestBorderSpace(LPCBORDERWIDTHS) { return E_NOTIMPL; }

STDMETHODIMP BrowserHost::SetBorderSpace(LPCBORDERWIDTHS) { return S_OK; }

STDMETHODIMP BrowserHost::SetActiveObject(IOleInPlaceActiveObject* activeObject, LPCOLESTR) {
    // Kept for the keyboard: the message loop offers keys to it.
    if (activeObject != nullptr) activeObject->AddRef();
    releaseAndClear(activeObject_);
    activeObject_ = activeObject;
    return S_OK;
}

STDMETHODIMP BrowserHost::InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) { return E_NOTIMPL; }

STDMETHODIMP BrowserHost::SetMenu(HMENU, HOLEMENU, HWND) { return S_OK; }

STDMETHODIMP BrowserHost::RemoveMenus(HMENU) { return S_OK; }

STDMETHODIMP BrowserHost::SetStatusText(LPCOLESTR) { return S_OK; }

STDMETHODIMP BrowserHost::EnableModeless(BOOL) { return S_OK; }

STDMETHODIMP BrowserHost::TranslateAccelerator(LPMSG, WORD) { return E_NOTIMPL; }

// ---- IDispatch: events ------------------------------------------------------------------

STDMETHODIMP BrowserHost::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
}

STDMETHODIMP BrowserHost::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }

STDMETHODIMP BrowserHost::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }

STDMETHODIMP BrowserHost::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* parameters, VARIANT*, EXCEPINFO*, UINT*) {
    // Opening a link can pump messages; should the window close meanwhile and
    // drop its reference, the object stays alive until the handler is done.
    AddRef();
    switch (id) {
        case kDocumentComplete: onDocumentComplete(); break;
        case DISPID_VALUE:
        case kDocumentClick: onDocumentClick(); break;
        case kBeforeNavigate2: onBeforeNavigate(parameters); break;
        case kNavigateError: onNavigateError(parameters); break;
        default: break;
    }
    Release();
    return S_OK;
}

void BrowserHost::onDocumentComplete() {
    firstLoadPending_ = false;
    if (documentEventsPoint_ != nullptr) {
        if (documentEventsCookie_ != 0) documentEventsPoint_->Unadvise(documentEventsCookie_);
        documentEventsCookie_ = 0;
        releaseAndClear(documentEventsPoint_);
    }
    if (webBrowser_ == nullptr) return;

    Held<IDispatch> document;
    if (FAILED(webBrowser_->get_Document(document.out())) || !document) return;
    Held<IConnectionPointContainer> container;
    if (FAILED(document->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.out()))) ||
        !container) {
        return;
    }
    if (FAILED(container->FindConnectionPoint(kHtmlDocumentEvents2, &documentEventsPoint_)) ||
        documentEventsPoint_ == nullptr) {
        documentEventsPoint_ = nullptr;
        return;
    }
    DWORD cookie = 0;
    if (SUCCEEDED(documentEventsPoint_->Advise(static_cast<IDispatch*>(this), &cookie))) {
        documentEventsCookie_ = cookie;
    } else {
        releaseAndClear(documentEventsPoint_);
    }
}

IHTMLEventObj* BrowserHost::currentEvent() {
    if (webBrowser_ == nullptr) return nullptr;
    Held<IDispatch> document;
    if (FAILED(webBrowser_->get_Document(document.out())) || !document) return nullptr;
    Held<IHTMLDocument2> html;
    if (FAILED(document->QueryInterface(IID_IHTMLDocument2, reinterpret_cast<void**>(html.out()))) || !html) {
        return nullptr;
    }
    Held<IHTMLWindow2> window;
    if (FAILED(html->get_parentWindow(window.out())) || !window) return nullptr;
    IHTMLEventObj* event = nullptr;
    if (FAILED(window->get_event(&event))) return nullptr;
    return event;
}

void BrowserHost::onDocumentClick() {
    Held<IHTMLEventObj> event;
    *event.out() = currentEvent();
    if (!event) return;
    Held<IHTMLElement> source;
    if (FAILED(event->get_srcElement(source.out())) || !source) return;
    handleDocumentClick(source.get());
}

void BrowserHost::handleDocumentClick(IHTMLElement* element) {
    if (element == nullptr) return;

    // Climb to the enclosing link: a click on an image or a span inside a
    // link is a click on that link.
    Held<IHTMLElement> current;
    element->AddRef();
    *current.out() = element;
    for (;;) {
        HeldString tag;
        if (SUCCEEDED(current->get_tagName(tag.out())) && isAnchorTag(tag.view())) break;
        IHTMLElement* parent = nullptr;
        if (FAILED(current->get_parentElement(&parent)) || parent == nullptr) return;
        current->Release();
        *current.out() = parent;
    }

    Held<IHTMLAnchorElement> anchor;
    if (FAILED(current->QueryInterface(IID_IHTMLAnchorElement, reinterpret_cast<void**>(anchor.out()))) || !anchor) {
        return;
    }
    HeldString link;
    if (FAILED(anchor->get_href(link.out())) || link.view().empty()) return;

    LinkTarget target = linkTarget(link.view(), launcherMarker());
    if (target == LinkTarget::page) return;
    if (target == LinkTarget::defaultBrowser) openInDefaultBrowser(link.view());

    // The link does not open inside the launcher.
    Held<IHTMLEventObj> event;
    *event.out() = currentEvent();
    if (!event) return;
    VARIANT returnValue;
    VariantInit(&returnValue);
    returnValue.vt = VT_BOOL;
    returnValue.boolVal = VARIANT_FALSE;
    event->put_returnValue(returnValue);
    event->put_cancelBubble(VARIANT_TRUE);
}

void BrowserHost::onBeforeNavigate(DISPPARAMS* parameters) {
    // Arguments arrive last first: the address is index 5, the cancel flag index 0.
    if (parameters == nullptr || parameters->rgvarg == nullptr || parameters->cArgs < 7 || firstLoadPending_) return;
    const VARIANT& address = parameters->rgvarg[5];
    const VARIANT& cancel = parameters->rgvarg[0];
    if (address.vt != VT_BSTR) return;
    // The flag is written through, so it must be what it claims to be.
    if (cancel.vt != (VT_BYREF | VT_BOOL) || cancel.pboolVal == nullptr) return;

    std::wstring_view url =
        address.bstrVal != nullptr ? std::wstring_view(address.bstrVal, SysStringLen(address.bstrVal)) : L"";
    LinkTarget target = linkTarget(url, launcherMarker());
    if (target == LinkTarget::page) return;
    *cancel.pboolVal = VARIANT_TRUE;
    if (target == LinkTarget::defaultBrowser) openInDefaultBrowser(url);
}

void BrowserHost::onNavigateError(DISPPARAMS* parameters) {
    // Arguments last first: the failing browser or frame is index 4. An error
    // inside a frame of the page leaves the rest of the page to be seen.
    if (parameters == nullptr || parameters->rgvarg == nullptr || parameters->cArgs < 5 || webBrowser_ == nullptr ||
        hostWindow_ == nullptr) {
        return;
    }
    const VARIANT& source = parameters->rgvarg[4];
    if (source.vt != VT_DISPATCH || source.pdispVal == nullptr) return;
    Held<IUnknown> failing, page;
    if (FAILED(source.pdispVal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(failing.out()))) ||
        FAILED(webBrowser_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(page.out()))) ||
        failing.get() != page.get()) {
        return;
    }
    // The control would show its own error page; the owner's placeholder
    // shows through instead.
    pageFailed_ = true;
    RECT area{};
    GetWindowRect(hostWindow_, &area);
    HWND parent = GetParent(hostWindow_);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&area), 2);
    ShowWindow(hostWindow_, SW_HIDE);
    InvalidateRect(parent, &area, FALSE);
}

}  // namespace kiv
