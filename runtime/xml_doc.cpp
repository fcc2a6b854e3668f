// XML documents over the platform's DOM, through COM.
//
// Process-wide state: the use count of XmlStartup and the document class chosen on
// its first start. The count moves with interlocked operations; the class is read
// and written plainly, because the installer calls one action at a time.
#include "runtime/xml_doc.h"

#include "runtime/com_owners.h"

namespace {

// IXMLDOMDocument, by number, so that no interface-identifier library is needed.
const IID kIidXmlDomDocument = {
    0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// 0x8007006E: HRESULT_FROM_WIN32(ERROR_OPEN_FAILED), the answer for a document
// that could not be read or parsed.
constexpr HRESULT kOpenFailed = static_cast<HRESULT>(0x8007006E);

LONG volatile XmlUseCount = 0;
CLSID XmlDocumentClass = {};

}  // namespace

HRESULT XmlStartup() {
    const HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) {
        return hr;
    }
    if (InterlockedIncrement(&XmlUseCount) == 1) {
        HRESULT lookup = CLSIDFromProgID(WSTR("Msxml2.DOMDocument"), &XmlDocumentClass);
        if (FAILED(lookup)) {
            lookup = CLSIDFromProgID(WSTR("MSXML.DOMDocument"), &XmlDocumentClass);
            if (FAILED(lookup)) {
                return lookup;
            }
        }
    }
    return S_OK;
}

void XmlShutdown() {
    if (XmlUseCount <= 0) {
        return;
    }
    if (InterlockedDecrement(&XmlUseCount) == 0) {
        XmlDocumentClass = CLSID{};
    }
    CoUninitialize();
}

HRESULT XmlNewDocument(LPCWSTR rootElementName, IXMLDOMDocument** document,
                       IXMLDOMElement** rootElement) {
    if (document == nullptr) {
        return E_INVALIDARG;
    }
    ScopedCom<IXMLDOMDocument> created;
    HRESULT hr = CoCreateInstance(XmlDocumentClass, nullptr, CLSCTX_INPROC_SERVER,
                                  kIidXmlDomDocument, reinterpret_cast<void**>(created.address()));
    if (FAILED(hr)) {
        return hr;
    }
    ScopedCom<IXMLDOMElement> root;
    if (rootElementName != nullptr) {
        hr = XmlCreateElement(created.get(), rootElementName, root.address());
        if (FAILED(hr)) {
            return hr;
        }
        hr = created.get()->appendChild(root.get(), nullptr);
        if (FAILED(hr)) {
            return hr;
        }
    }
    *document = created.Detach();
    if (rootElement != nullptr) {
        *rootElement = root.Detach();
    }
    return hr;
}

HRESULT XmlCreateElement(IXMLDOMDocument* document, LPCWSTR name, IXMLDOMElement** element) {
    if (document == nullptr || element == nullptr) {
        return E_INVALIDARG;
    }
    ScopedBstr tagName(name);
    if (tagName.get() == nullptr) {
        return E_OUTOFMEMORY;
    }
    return document->createElement(tagName.get(), element);
}

HRESULT XmlLoadFile(LPCWSTR path, IXMLDOMDocument** document) {
    ScopedVariant source;
    V_VT(source.get()) = VT_BSTR;
    V_BSTR(source.get()) = SysAllocString(path);
    if (path != nullptr && V_BSTR(source.get()) == nullptr) {
        return E_OUTOFMEMORY;  // not to be mistaken for a file that cannot be read
    }

    ScopedCom<IXMLDOMDocument> loaded;
    HRESULT hr = XmlNewDocument(nullptr, loaded.address(), nullptr);
    if (hr == S_FALSE) {
        hr = E_FAIL;
    }
    if (FAILED(hr)) {
        return hr;
    }
    // Synchronous, so that load returns only once the document is there.
    loaded.get()->put_async(VARIANT_FALSE);
    // The document class resolves external entities and DTDs by default: a service
    // tag could make the installer read other files or reach the network. Nothing
    // outside the file itself is read; a document that cannot be told so is not
    // loaded at all.
    hr = loaded.get()->put_resolveExternals(VARIANT_FALSE);
    if (FAILED(hr)) {
        return hr;
    }

    VARIANT_BOOL succeeded = VARIANT_FALSE;
    hr = loaded.get()->load(*source.get(), &succeeded);
    if (hr == S_FALSE) {
        return kOpenFailed;
    }
    if (FAILED(hr)) {
        return hr;
    }
    if (document != nullptr) {
        *document = loaded.Detach();
    }
    return S_OK;
}

HRESULT XmlFindNode(IXMLDOMNode* node, LPCWSTR expression, IXMLDOMNode** found) {
    if (node == nullptr || found == nullptr) {
        return E_UNEXPECTED;
    }
    ScopedBstr query(expression != nullptr ? expression : WSTR(""));
    if (query.get() == nullptr) {
        return E_OUTOFMEMORY;
    }
    return node->selectSingleNode(query.get(), found);
}

HRESULT XmlGetNamedItem(IXMLDOMNamedNodeMap* map, LPCWSTR name, IXMLDOMNode** item) {
    if (map == nullptr || item == nullptr) {
        return E_INVALIDARG;
    }
    ScopedBstr itemName(name);
    if (itemName.get() == nullptr) {
        return E_OUTOFMEMORY;
    }
    return map->getNamedItem(itemName.get(), item);
}

HRESULT XmlReadAttribute(IXMLDOMNode* node, LPCWSTR name, BSTR* value) {
    if (node == nullptr) {
        return E_INVALIDARG;
    }
    ScopedCom<IXMLDOMNamedNodeMap> attributes;
    HRESULT hr = node->get_attributes(attributes.address());
    if (FAILED(hr)) {
        return hr;
    }
    ScopedCom<IXMLDOMNode> attribute;
    hr = XmlGetNamedItem(attributes.get(), name, attribute.address());
    if (hr == S_FALSE || FAILED(hr)) {
        return hr;
    }
    ScopedVariant text;
    hr = attribute.get()->get_nodeValue(text.get());
    if (hr == S_OK && V_VT(text.get()) != VT_BSTR) {
        return E_UNEXPECTED;  // an attribute's value is text; anything else is not taken
    }
    if (hr == S_OK && value != nullptr) {
        *value = V_BSTR(text.get());
        V_BSTR(text.get()) = nullptr;  // handed out: clearing frees nothing
    }
    return hr;
}
