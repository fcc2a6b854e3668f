// The DOM node over a libxml2 node: elements, attributes, text and the rest, and the
// node operations that the document shares (name, value, type, attributes,
// appendChild, selectSingleNode with XPath).
#include <libxml/xpath.h>

#include <new>

#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"
#include "platform/posix/msxml/xml_dom.h"

const IID IID_DomNodeSource = {
    0x6F737472, 0x656C, 0x4E6F, {0x64, 0x65, 0x53, 0x6F, 0x75, 0x72, 0x63, 0x65}};

bool DomMethodFails(const char* name, HRESULT* hr) {
    uint32_t code = 0;
    if (SeamCallFails(name, &code)) {
        *hr = static_cast<HRESULT>(code);
        return true;
    }
    return false;
}

HRESULT DomNodeQueryInterface(REFIID iid, void** object, IXMLDOMNode* node, REFIID own,
                              bool offered, DomNodeSource* source) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IXMLDOMNode) ||
        (offered && IsEqualGUID(iid, own))) {
        *object = node;
    } else if (IsEqualGUID(iid, IID_DomNodeSource)) {
        *object = source;
    } else {
        return E_NOINTERFACE;
    }
    node->AddRef();
    return S_OK;
}

std::string DomQualifiedName(xmlNodePtr node) {
    std::string name;
    if (node->ns != nullptr && node->ns->prefix != nullptr) {
        name = reinterpret_cast<const char*>(node->ns->prefix);
        name += ':';
    }
    if (node->name != nullptr) {
        name += reinterpret_cast<const char*>(node->name);
    }
    return name;
}

namespace {

// XPath errors are answered as E_FAIL; libxml2 must not print them.
void IgnoreXmlError(void*, xmlErrorPtr) {}

class DomNode final : public IXMLDOMElement, public DomNodeSource {
  public:
    DomNode(XmlTreeRef tree, xmlNodePtr node) : tree_(std::move(tree)), node_(node) {}

    // Only an element answers for IXMLDOMElement.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return DomNodeQueryInterface(iid, object, static_cast<IXMLDOMNode*>(this),
                                     IID_IXMLDOMElement, node_->type == XML_ELEMENT_NODE, this);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.Add(); }
    ULONG STDMETHODCALLTYPE Release() override { return refs_.Release(this); }

    HRESULT STDMETHODCALLTYPE get_nodeName(BSTR* name) override { return DomNodeName(node_, name); }
    HRESULT STDMETHODCALLTYPE get_nodeValue(VARIANT* value) override {
        return DomNodeValue(node_, value);
    }
    HRESULT STDMETHODCALLTYPE get_nodeType(DOMNodeType* type) override {
        return DomNodeType(node_, type);
    }
    HRESULT STDMETHODCALLTYPE get_attributes(IXMLDOMNamedNodeMap** map) override {
        return DomNodeAttributes(tree_, node_, map);
    }
    HRESULT STDMETHODCALLTYPE appendChild(IXMLDOMNode* newChild,
                                          IXMLDOMNode** outNewChild) override {
        return DomNodeAppendChild(tree_, node_, newChild, outNewChild);
    }
    HRESULT STDMETHODCALLTYPE selectSingleNode(BSTR query, IXMLDOMNode** result) override {
        return DomNodeSelectSingle(tree_, node_, query, result);
    }

    XmlTreeRef Tree() const override { return tree_; }
    xmlNodePtr Node() const override { return node_; }

  private:
    friend class ::ComReferences;
    ~DomNode() = default;

    ComReferences refs_;
    XmlTreeRef tree_;
    xmlNodePtr node_;
};

}  // namespace

XmlTree::~XmlTree() {
    // Created elements that hang in no tree are freed here, each unattached subtree
    // once; which ones they are is decided before anything is freed.
    std::vector<xmlNodePtr> loose;
    for (xmlNodePtr node : created) {
        if (node->parent == nullptr) {
            loose.push_back(node);
        }
    }
    for (xmlNodePtr node : loose) {
        xmlFreeNode(node);
    }
    if (doc != nullptr) {
        xmlFreeDoc(doc);
    }
}

XmlTreeRef NewEmptyXmlTree() {
    XmlTreeRef tree;
    try {
        tree = std::make_shared<XmlTree>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    tree->doc = xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0"));
    if (tree->doc == nullptr) {
        return nullptr;
    }
    return tree;
}

BSTR BstrFromUtf8(const xmlChar* text) {
    const char* utf8 = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    const std::u16string wide = Utf8ToUtf16(utf8, std::char_traits<char>::length(utf8));
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

std::string Utf8FromBstr(BSTR text) {
    return text == nullptr ? std::string() : Utf16ToUtf8(text, SysStringLen(text));
}

IXMLDOMNode* WrapDomNode(const XmlTreeRef& tree, xmlNodePtr node) {
    return new (std::nothrow) DomNode(tree, node);
}

HRESULT DomNodeName(xmlNodePtr node, BSTR* name) {
    if (name == nullptr) {
        return E_INVALIDARG;
    }
    std::string text;
    switch (node->type) {
        case XML_ELEMENT_NODE:
        case XML_ATTRIBUTE_NODE:
        case XML_PI_NODE:
            text = DomQualifiedName(node);
            break;
        case XML_TEXT_NODE:
            text = "#text";
            break;
        case XML_CDATA_SECTION_NODE:
            text = "#cdata-section";
            break;
        case XML_COMMENT_NODE:
            text = "#comment";
            break;
        case XML_DOCUMENT_NODE:
            text = "#document";
            break;
        default:
            text = DomQualifiedName(node);
            break;
    }
    *name = BstrFromUtf8(reinterpret_cast<const xmlChar*>(text.c_str()));
    return *name != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT DomNodeValue(xmlNodePtr node, VARIANT* value) {
    if (value == nullptr) {
        return E_INVALIDARG;
    }
    VariantInit(value);
    HRESULT hr = S_OK;
    if (DomMethodFails("IXMLDOMNode::get_nodeValue", &hr)) {
        return hr;
    }
    switch (node->type) {
        case XML_ATTRIBUTE_NODE: {
            // The attribute's text with character and entity references resolved.
            xmlChar* content = xmlNodeGetContent(node);
            value->bstrVal = BstrFromUtf8(content);
            xmlFree(content);
            break;
        }
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_COMMENT_NODE:
        case XML_PI_NODE:
            value->bstrVal = BstrFromUtf8(node->content);
            break;
        default:
            value->vt = VT_NULL;  // elements and documents have no value
            return S_FALSE;
    }
    if (value->bstrVal == nullptr) {
        return E_OUTOFMEMORY;
    }
    value->vt = VT_BSTR;
    return S_OK;
}

HRESULT DomNodeType(xmlNodePtr node, DOMNodeType* type) {
    if (type == nullptr) {
        return E_INVALIDARG;
    }
    switch (node->type) {
        case XML_ELEMENT_NODE:
            *type = NODE_ELEMENT;
            break;
        case XML_ATTRIBUTE_NODE:
            *type = NODE_ATTRIBUTE;
            break;
        case XML_TEXT_NODE:
            *type = NODE_TEXT;
            break;
        case XML_CDATA_SECTION_NODE:
            *type = NODE_CDATA_SECTION;
            break;
        case XML_ENTITY_REF_NODE:
            *type = NODE_ENTITY_REFERENCE;
            break;
        case XML_PI_NODE:
            *type = NODE_PROCESSING_INSTRUCTION;
            break;
        case XML_COMMENT_NODE:
            *type = NODE_COMMENT;
            break;
        case XML_DOCUMENT_NODE:
            *type = NODE_DOCUMENT;
            break;
        case XML_DTD_NODE:
            *type = NODE_DOCUMENT_TYPE;
            break;
        default:
            *type = NODE_INVALID;
            break;
    }
    return S_OK;
}

HRESULT DomNodeAttributes(const XmlTreeRef& tree, xmlNodePtr node, IXMLDOMNamedNodeMap** map) {
    if (map == nullptr) {
        return E_INVALIDARG;
    }
    *map = nullptr;
    HRESULT hr = S_OK;
    if (DomMethodFails("IXMLDOMNode::get_attributes", &hr)) {
        return hr;
    }
    if (node->type != XML_ELEMENT_NODE) {
        return S_FALSE;  // only elements carry attributes
    }
    *map = WrapDomAttributes(tree, node);
    return *map != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT DomNodeAppendChild(const XmlTreeRef& tree, xmlNodePtr node, IXMLDOMNode* newChild,
                           IXMLDOMNode** outNewChild) {
    if (outNewChild != nullptr) {
        *outNewChild = nullptr;
    }
    HRESULT hr = S_OK;
    if (DomMethodFails("IXMLDOMNode::appendChild", &hr)) {
        return hr;
    }
    if (newChild == nullptr) {
        return E_INVALIDARG;
    }
    void* raw = nullptr;
    if (FAILED(newChild->QueryInterface(IID_DomNodeSource, &raw))) {
        return E_INVALIDARG;  // not a node of this DOM
    }
    const DomNodeSource* source = static_cast<DomNodeSource*>(raw);
    const xmlNodePtr child = source->Node();
    const bool sameTree = source->Tree() == tree;
    newChild->Release();
    if (!sameTree) {
        return E_INVALIDARG;
    }
    // Only elements, comments and processing instructions move: libxml2 may merge
    // and free a text node on insertion, which a node object could still name.
    if (child->type != XML_ELEMENT_NODE && child->type != XML_COMMENT_NODE &&
        child->type != XML_PI_NODE) {
        return E_FAIL;
    }
    if (node->type != XML_ELEMENT_NODE && node->type != XML_DOCUMENT_NODE) {
        return E_FAIL;
    }
    for (xmlNodePtr up = node; up != nullptr; up = up->parent) {
        if (up == child) {
            return E_INVALIDARG;  // a node cannot become its own descendant
        }
    }
    if (node->type == XML_DOCUMENT_NODE && child->type == XML_ELEMENT_NODE) {
        const xmlNodePtr root = xmlDocGetRootElement(reinterpret_cast<xmlDocPtr>(node));
        if (root != nullptr && root != child) {
            return E_FAIL;  // one top-level element only
        }
    }
    xmlUnlinkNode(child);
    if (xmlAddChild(node, child) == nullptr) {
        return E_FAIL;
    }
    if (outNewChild != nullptr) {
        newChild->AddRef();
        *outNewChild = newChild;
    }
    return S_OK;
}

HRESULT DomNodeSelectSingle(const XmlTreeRef& tree, xmlNodePtr node, BSTR query,
                            IXMLDOMNode** result) {
    if (result == nullptr) {
        return E_INVALIDARG;
    }
    *result = nullptr;
    HRESULT hr = S_OK;
    if (DomMethodFails("IXMLDOMNode::selectSingleNode", &hr)) {
        return hr;
    }
    const std::string expression = Utf8FromBstr(query);
    xmlXPathContextPtr context = xmlXPathNewContext(tree->doc);
    if (context == nullptr) {
        return E_OUTOFMEMORY;
    }
    context->node = node;
    context->error = IgnoreXmlError;
    xmlXPathObjectPtr found =
        xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(expression.c_str()), context);
    hr = E_FAIL;  // no result or not a node set: not a selection
    if (found != nullptr && found->type == XPATH_NODESET) {
        hr = S_FALSE;
        const xmlNodeSetPtr nodes = found->nodesetval;
        // The set is in document order; namespace nodes are not offered as nodes.
        for (int i = 0; nodes != nullptr && i < nodes->nodeNr; ++i) {
            if (nodes->nodeTab[i]->type == XML_NAMESPACE_DECL) {
                continue;
            }
            *result = WrapDomNode(tree, nodes->nodeTab[i]);
            hr = *result != nullptr ? S_OK : E_OUTOFMEMORY;
            break;
        }
    }
    xmlXPathFreeObject(found);
    xmlXPathFreeContext(context);
    return hr;
}
