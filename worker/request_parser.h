// The worker's parser of request files and everything that it points at,
// which must live as long as the parser does.
#pragma once

#include <cstddef>

#include <xercesc/framework/MemoryManager.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>

XERCES_CPP_NAMESPACE_BEGIN
class XercesDOMParser;
XERCES_CPP_NAMESPACE_END

// Counts what the library allocates for one parser (its scanner, the
// document and every node of it) and refuses any allocation that would take
// the bytes in use beyond the limit, with the library's own
// OutOfMemoryException. A small file can make the parser copy without end:
// an attribute default of a document type is copied into every element that
// leaves the attribute out, whether it was written out or made of an
// entity, and no limit on entities or on the file's size bounds that.
//
// The library loses some of its blocks when an allocation fails inside one
// of its constructors; the budget keeps every block on a list, so that
// ReleaseAll can take them back once the parser is gone.
class MemoryBudget : public xercesc::MemoryManager {
  public:
    explicit MemoryBudget(size_t limitBytes);
    ~MemoryBudget() override;
    MemoryBudget(const MemoryBudget &) = delete;
    MemoryBudget &operator=(const MemoryBudget &) = delete;

    // Exceptions are made outside the budget, so that a refusal can still
    // be reported.
    xercesc::MemoryManager *getExceptionMemoryManager() override;
    void *allocate(XMLSize_t size) override;
    void deallocate(void *p) override;

    // Frees every block still in use. Only when nothing made from the budget
    // lives any more: no parser, no document, no exception of the library.
    void ReleaseAll();

    size_t inUse() const { return inUse_; }
    size_t limit() const { return limit_; }
    void setLimit(size_t limitBytes) { limit_ = limitBytes; }

  private:
    struct alignas(std::max_align_t) Block {
        Block *previous;
        Block *next;
        size_t size;
    };

    size_t limit_;
    size_t inUse_ = 0;
    Block blocks_;  // the list's head: its previous is the last block
};

// What the library may allocate for one parse of a request file. The largest
// request that the other limits let through (sixteen expansions of a 200 KiB
// entity) needs about 10 MiB.
constexpr size_t kParseMemoryBytes = 32u << 20;

// Refuses every external entity, the external DTD subset included: a
// request must never pull another file of the server into its fields.
class RefuseAllEntities : public xercesc::XMLEntityResolver {
  public:
    xercesc::InputSource *resolveEntity(xercesc::XMLResourceIdentifier *) override {
        return nullptr;
    }
};

// The library stops at the first fatal error (a file that is not
// well-formed, cannot be read, or breaks a limit) but does not throw it
// without an error handler, and would leave a partial document. This handler
// throws the library's SAXParseException, which is neither an XMLException
// nor a DOMException, so the file fails before any of its attributes reach
// the worker. Warnings and validity errors are let pass.
class ThrowOnFatalError : public xercesc::ErrorHandler {
  public:
    void warning(const xercesc::SAXParseException &) override {}
    void error(const xercesc::SAXParseException &) override {}
    void fatalError(const xercesc::SAXParseException &e) override;
    void resetErrors() override {}
};

// Makes the worker's parsers, each with every guard installed for its whole
// life: the memory budget, the refusal of external entities and the limit
// on entity expansions, and the error handler. The guards are never taken
// off again: a parse that failed leaves the parser in a state where its
// setters throw. The object must outlive every parser that it made.
class RequestParserGuards {
  public:
    RequestParserGuards();
    RequestParserGuards(const RequestParserGuards &) = delete;
    RequestParserGuards &operator=(const RequestParserGuards &) = delete;

    // A new parser; the caller owns it. Takes back first what earlier
    // parsers left in the budget, so no other parser of this object may
    // live.
    xercesc::XercesDOMParser *MakeParser();
    MemoryBudget &memory() { return memory_; }

  private:
    MemoryBudget memory_;
    xercesc::SecurityManager security_;
    RefuseAllEntities resolver_;
    ThrowOnFatalError errors_;
};
