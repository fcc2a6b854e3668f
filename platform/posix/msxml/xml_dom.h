// Inside the posix DOM: the libxml2 tree shared by a document and its nodes, the
// node and attribute-map classes, and the conversions between BSTRs and libxml2's
// UTF-8 text. Not for the library.
//
// Lifetime: a document holds its current tree through a shared pointer and every
// node or map made from it holds the same tree, so a node stays valid after its
// document is released or loads another file. Elements made by createElement and
// not (or no longer) attached are remembered by the tree and freed with it.
#ifndef OSTREL_PLATFORM_POSIX_XML_DOM_H
#define OSTREL_PLATFORM_POSIX_XML_DOM_H

#include <libxml/tree.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/posix/ole32/com_internal.h"

struct XmlTree {
    xmlDocPtr doc = nullptr;
    std::vector<xmlNodePtr> created;  // made by createElement, maybe unattached
    ~XmlTree();
};
using XmlTreeRef = std::shared_ptr<XmlTree>;

// A new tree holding an empty document; null when memory is short.
XmlTreeRef NewEmptyXmlTree();

// Lets a DOM object of this layer recognise another one passed in through an
// interface (appendChild): asked for by QueryInterface with IID_DomNodeSource.
struct DomNodeSource {
    virtual XmlTreeRef Tree() const = 0;
    virtual xmlNodePtr Node() const = 0;

  protected:
    ~DomNodeSource() = default;
};
extern const IID IID_DomNodeSource;

// QueryInterface of the node classes: `node`, the object as its node interface, for
// IUnknown, IXMLDOMNode and, when `offered`, the class's own interface `own`;
// `source` for IID_DomNodeSource; E_NOINTERFACE for anything else. The reference
// given out is added.
HRESULT DomNodeQueryInterface(REFIID iid, void** object, IXMLDOMNode* node, REFIID own,
                              bool offered, DomNodeSource* source);

// An armed failure of the DOM method `name` (as "IXMLDOMNode::appendChild"), as
// its HRESULT in *hr.
bool DomMethodFails(const char* name, HRESULT* hr);
// The name of an element, attribute or processing instruction with its namespace
// prefix ("prefix:name"), as the DOM gives it. An attribute is passed as the node
// libxml2 lets it be read as.
std::string DomQualifiedName(xmlNodePtr node);

// A BSTR of UTF-8 text; null when it cannot be allocated.
BSTR BstrFromUtf8(const xmlChar* text);
// The UTF-8 text of a BSTR (null reads as empty).
std::string Utf8FromBstr(BSTR text);

// The node's operations, shared by the document (whose node is the xmlDoc itself)
// and the other nodes.
HRESULT DomNodeName(xmlNodePtr node, BSTR* name);
HRESULT DomNodeValue(xmlNodePtr node, VARIANT* value);
HRESULT DomNodeType(xmlNodePtr node, DOMNodeType* type);
HRESULT DomNodeAttributes(const XmlTreeRef& tree, xmlNodePtr node, IXMLDOMNamedNodeMap** map);
HRESULT DomNodeAppendChild(const XmlTreeRef& tree, xmlNodePtr node, IXMLDOMNode* newChild,
                           IXMLDOMNode** outNewChild);
HRESULT DomNodeSelectSingle(const XmlTreeRef& tree, xmlNodePtr node, BSTR query,
                            IXMLDOMNode** result);

// A new node object for `node` of `tree`, one reference; null when memory is short.
IXMLDOMNode* WrapDomNode(const XmlTreeRef& tree, xmlNodePtr node);
// A new attribute map of the element `node`, one reference; null when memory is short.
IXMLDOMNamedNodeMap* WrapDomAttributes(const XmlTreeRef& tree, xmlNodePtr node);

#endif  // OSTREL_PLATFORM_POSIX_XML_DOM_H
