// The DOM document class ("Msxml2.DOMDocument", "MSXML.DOMDocument") over libxml2:
// createElement, put_async, put_resolveExternals, load from a file, and the node
// operations on the document itself.
//
// load reads the file itself and parses the bytes in memory, with the file's path
// as the base for relative references. Like MSXML 3.0, a new document resolves
// externals: the external DTD subset is read, its attribute defaults applied, and
// external entities are read and substituted. Only local files are ever read that
// way: the entity loader refuses any URL with a scheme other than file, and the
// parser runs with XML_PARSE_NONET. With put_resolveExternals(VARIANT_FALSE) the
// loader refuses everything and nothing but the file itself is read; entities are
// then not substituted. The encoding comes from the byte order mark or the
// declaration, so UTF-16 files load. A missing or malformed file leaves an empty
// document and answers S_FALSE, as MSXML does.
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/uri.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>

#include "platform/posix/msxml/xml_dom.h"

namespace {

// Set while a document that resolves externals is being parsed on this thread:
// the entity loader is process-wide, the choice is the document's.
thread_local bool t_resolveLocalExternals = false;

// The local file a URL names, or empty when it names none: a path, or a file URL
// (escapes decoded); anything with another scheme (http:, ftp:, ...) is not local.
std::string LocalPathOf(const char* url) {
    std::string text(url);
    if (text.compare(0, 7, "file://") == 0) {
        text.erase(0, 7);
        if (text.compare(0, 9, "localhost") == 0) {
            text.erase(0, 9);
        }
        if (text.empty() || text[0] != '/') {
            return std::string();  // a file on another host
        }
        char* unescaped = xmlURIUnescapeString(text.c_str(), 0, nullptr);
        if (unescaped == nullptr) {
            return std::string();
        }
        text = unescaped;
        xmlFree(unescaped);
        return text;
    }
    if (text.compare(0, 5, "file:") == 0) {
        return text.substr(5);
    }
    const size_t colon = text.find(':');
    if (colon != std::string::npos && text.find('/') > colon) {
        return std::string();  // a scheme of its own
    }
    return text;
}

xmlParserInputPtr LoadExternal(const char* url, const char*, xmlParserCtxtPtr context) {
    if (!t_resolveLocalExternals || url == nullptr) {
        return nullptr;
    }
    const std::string path = LocalPathOf(url);
    if (path.empty()) {
        return nullptr;
    }
    return xmlNewInputFromFile(context, path.c_str());
}

void InstallEntityLoader() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(LoadExternal);
    });
}

// The whole file, or false when it cannot be opened or read.
bool ReadFileBytes(const std::string& path, std::string* bytes) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    char chunk[65536];
    for (;;) {
        const ssize_t count = read(fd, chunk, sizeof(chunk));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            ok = false;
            break;
        }
        if (count == 0) {
            break;
        }
        try {
            bytes->append(chunk, static_cast<size_t>(count));
        } catch (const std::bad_alloc&) {
            ok = false;
            break;
        }
    }
    close(fd);
    return ok;
}

// A parsed document, or null when the bytes are not well-formed XML. `path` is the
// base of relative references; `resolve` lets local externals be read.
xmlDocPtr Parse(const std::string& bytes, const std::string& path, bool resolve) {
    if (bytes.size() > static_cast<size_t>(INT32_MAX)) {
        return nullptr;
    }
    xmlParserCtxtPtr context = xmlNewParserCtxt();
    if (context == nullptr) {
        return nullptr;
    }
    int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    if (resolve) {
        options |= XML_PARSE_NOENT | XML_PARSE_DTDLOAD | XML_PARSE_DTDATTR;
    }
    t_resolveLocalExternals = resolve;
    xmlDocPtr doc = xmlCtxtReadMemory(context, bytes.data(), static_cast<int>(bytes.size()),
                                      path.c_str(), nullptr, options);
    t_resolveLocalExternals = false;
    if (doc != nullptr && !context->wellFormed) {
        xmlFreeDoc(doc);
        doc = nullptr;
    }
    xmlFreeParserCtxt(context);
    return doc;
}

// `node` of `tree` as a new element object in *element, one reference;
// E_OUTOFMEMORY when the node object cannot be made.
HRESULT WrapDomElement(const XmlTreeRef& tree, xmlNodePtr node, IXMLDOMElement** element) {
    IXMLDOMNode* wrapped = WrapDomNode(tree, node);
    if (wrapped == nullptr) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr =
        wrapped->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element));
    wrapped->Release();
    return hr;
}

class DomDocument final : public IXMLDOMDocument, public DomNodeSource {
  public:
    explicit DomDocument(XmlTreeRef tree) : tree_(std::move(tree)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return DomNodeQueryInterface(iid, object, static_cast<IXMLDOMDocument*>(this),
                                     IID_IXMLDOMDocument, true, this);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.Add(); }
    ULONG STDMETHODCALLTYPE Release() override { return refs_.Release(this); }

    HRESULT STDMETHODCALLTYPE get_nodeName(BSTR* name) override {
        return DomNodeName(Node(), name);
    }
    HRESULT STDMETHODCALLTYPE get_nodeValue(VARIANT* value) override {
        return DomNodeValue(Node(), value);
    }
    HRESULT STDMETHODCALLTYPE get_nodeType(DOMNodeType* type) override {
        return DomNodeType(Node(), type);
    }
    HRESULT STDMETHODCALLTYPE get_attributes(IXMLDOMNamedNodeMap** map) override {
        return DomNodeAttributes(tree_, Node(), map);
    }
    HRESULT STDMETHODCALLTYPE appendChild(IXMLDOMNode* newChild,
                                          IXMLDOMNode** outNewChild) override {
        return DomNodeAppendChild(tree_, Node(), newChild, outNewChild);
    }
    HRESULT STDMETHODCALLTYPE selectSingleNode(BSTR query, IXMLDOMNode** result) override {
        return DomNodeSelectSingle(tree_, Node(), query, result);
    }

    HRESULT STDMETHODCALLTYPE get_documentElement(IXMLDOMElement** element) override {
        if (element == nullptr) {
            return E_INVALIDARG;
        }
        *element = nullptr;
        const xmlNodePtr root = xmlDocGetRootElement(tree_->doc);
        if (root == nullptr) {
            return S_FALSE;
        }
        return WrapDomElement(tree_, root, element);
    }

    HRESULT STDMETHODCALLTYPE createElement(BSTR tagName, IXMLDOMElement** element) override {
        if (element == nullptr) {
            return E_INVALIDARG;
        }
        *element = nullptr;
        HRESULT hr = S_OK;
        if (DomMethodFails("IXMLDOMDocument::createElement", &hr)) {
            return hr;
        }
        const std::string name = Utf8FromBstr(tagName);
        const xmlChar* xmlName = reinterpret_cast<const xmlChar*>(name.c_str());
        if (name.empty() || std::char_traits<char>::length(name.c_str()) != name.size() ||
            xmlValidateName(xmlName, 0) != 0) {
            return E_FAIL;  // not a name
        }
        try {
            tree_->created.reserve(tree_->created.size() + 1);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        const xmlNodePtr node = xmlNewDocNode(tree_->doc, nullptr, xmlName, nullptr);
        if (node == nullptr) {
            return E_OUTOFMEMORY;
        }
        tree_->created.push_back(node);  // freed with the tree while unattached
        return WrapDomElement(tree_, node, element);
    }

    HRESULT STDMETHODCALLTYPE put_async(VARIANT_BOOL isAsync) override {
        async_ = isAsync;  // loading is synchronous either way
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE put_resolveExternals(VARIANT_BOOL isResolving) override {
        HRESULT hr = S_OK;
        if (DomMethodFails("IXMLDOMDocument::put_resolveExternals", &hr)) {
            return hr;
        }
        resolveExternals_ = isResolving;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE load(VARIANT source, VARIANT_BOOL* isSuccessful) override {
        if (isSuccessful != nullptr) {
            *isSuccessful = VARIANT_FALSE;
        }
        HRESULT hr = S_OK;
        if (DomMethodFails("IXMLDOMDocument::load", &hr)) {
            return hr;
        }
        if (source.vt != VT_BSTR) {
            return E_INVALIDARG;  // only a path is taken here
        }
        InstallEntityLoader();
        XmlTreeRef loaded;
        try {
            loaded = std::make_shared<XmlTree>();
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        std::string bytes;
        const std::string path = Utf8FromBstr(source.bstrVal);
        if (!path.empty() && ReadFileBytes(path, &bytes)) {
            loaded->doc = Parse(bytes, path, resolveExternals_ != VARIANT_FALSE);
        }
        if (loaded->doc == nullptr) {
            // What was there before is gone, as after a failed load in MSXML.
            loaded = NewEmptyXmlTree();
            if (loaded == nullptr) {
                return E_OUTOFMEMORY;
            }
            tree_ = loaded;
            return S_FALSE;
        }
        tree_ = loaded;
        if (isSuccessful != nullptr) {
            *isSuccessful = VARIANT_TRUE;
        }
        return S_OK;
    }

    XmlTreeRef Tree() const override { return tree_; }
    xmlNodePtr Node() const override { return reinterpret_cast<xmlNodePtr>(tree_->doc); }

  private:
    friend class ::ComReferences;
    ~DomDocument() = default;

    ComReferences refs_;
    XmlTreeRef tree_;
    VARIANT_BOOL async_ = VARIANT_TRUE;
    VARIANT_BOOL resolveExternals_ = VARIANT_TRUE;
};

}  // namespace

IXMLDOMDocument* CreateXmlDomDocument() {
    XmlTreeRef tree = NewEmptyXmlTree();
    if (tree == nullptr) {
        return nullptr;
    }
    return new (std::nothrow) DomDocument(std::move(tree));
}
