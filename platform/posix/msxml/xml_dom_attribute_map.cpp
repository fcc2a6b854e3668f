// The DOM attribute map of an element: getNamedItem by qualified name and the
// count of attributes, over the element's libxml2 attribute list.
#include <new>

#include "platform/posix/msxml/xml_dom.h"

namespace {

class DomAttributeMap final : public IXMLDOMNamedNodeMap {
  public:
    DomAttributeMap(XmlTreeRef tree, xmlNodePtr element)
        : tree_(std::move(tree)), element_(element) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return QueryOneInterface<IXMLDOMNamedNodeMap>(this, iid, IID_IXMLDOMNamedNodeMap, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.Add(); }
    ULONG STDMETHODCALLTYPE Release() override { return refs_.Release(this); }

    // The attribute whose qualified name (prefix:name, or name) is `name`;
    // S_FALSE and null when the element has none.
    HRESULT STDMETHODCALLTYPE getNamedItem(BSTR name, IXMLDOMNode** item) override {
        if (item == nullptr) {
            return E_INVALIDARG;
        }
        *item = nullptr;
        HRESULT hr = S_OK;
        if (DomMethodFails("IXMLDOMNamedNodeMap::getNamedItem", &hr)) {
            return hr;
        }
        if (name == nullptr) {
            return E_INVALIDARG;
        }
        const std::string wanted = Utf8FromBstr(name);
        for (xmlAttrPtr attribute = element_->properties; attribute != nullptr;
             attribute = attribute->next) {
            const xmlNodePtr node = reinterpret_cast<xmlNodePtr>(attribute);
            if (DomQualifiedName(node) == wanted) {
                *item = WrapDomNode(tree_, node);
                return *item != nullptr ? S_OK : E_OUTOFMEMORY;
            }
        }
        return S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE get_length(LONG* length) override {
        if (length == nullptr) {
            return E_INVALIDARG;
        }
        LONG count = 0;
        for (xmlAttrPtr attribute = element_->properties; attribute != nullptr;
             attribute = attribute->next) {
            ++count;
        }
        *length = count;
        return S_OK;
    }

  private:
    friend class ::ComReferences;
    ~DomAttributeMap() = default;

    ComReferences refs_;
    XmlTreeRef tree_;
    xmlNodePtr element_;
};

}  // namespace

IXMLDOMNamedNodeMap* WrapDomAttributes(const XmlTreeRef& tree, xmlNodePtr node) {
    return new (std::nothrow) DomAttributeMap(tree, node);
}
