#include "request_parser.h"

#include <cstddef>
#include <memory>
#include <new>

#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>

using namespace xercesc;

namespace {

// Entity expansions that one request may make. The front end writes no
// entities of its own; a file of nested entities must not grow without
// bound.
constexpr XMLSize_t kMaxEntityExpansions = 16;

}  // namespace

MemoryBudget::MemoryBudget(size_t limitBytes) : limit_(limitBytes) {
    blocks_.previous = &blocks_;
    blocks_.next = &blocks_;
    blocks_.size = 0;
}

MemoryBudget::~MemoryBudget() {
    ReleaseAll();
}

MemoryManager *MemoryBudget::getExceptionMemoryManager() {
    return XMLPlatformUtils::fgMemoryManager;
}

void *MemoryBudget::allocate(XMLSize_t size) {
    if (size > limit_ || inUse_ > limit_ - size)
        throw OutOfMemoryException();
    void *memory = ::operator new(sizeof(Block) + size, std::nothrow);
    if (memory == nullptr)
        throw OutOfMemoryException();
    Block *block = static_cast<Block *>(memory);
    block->size = size;
    block->next = &blocks_;
    block->previous = blocks_.previous;
    blocks_.previous->next = block;
    blocks_.previous = block;
    inUse_ += size;
    return block + 1;
}

void MemoryBudget::deallocate(void *p) {
    if (p == nullptr)
        return;
    Block *block = static_cast<Block *>(p) - 1;
    block->previous->next = block->next;
    block->next->previous = block->previous;
    inUse_ -= block->size;
    ::operator delete(block);
}

void MemoryBudget::ReleaseAll() {
    while (blocks_.next != &blocks_)
        deallocate(blocks_.next + 1);
}

void ThrowOnFatalError::fatalError(const SAXParseException &e) {
    throw e;
}

RequestParserGuards::RequestParserGuards() : memory_(kParseMemoryBytes) {
    security_.setEntityExpansionLimit(kMaxEntityExpansions);
}

XercesDOMParser *RequestParserGuards::MakeParser() {
    memory_.ReleaseAll();
    std::unique_ptr<XercesDOMParser> parser(new XercesDOMParser(nullptr, &memory_, nullptr));
    parser->setSecurityManager(&security_);
    parser->setXMLEntityResolver(&resolver_);
    parser->setDisableDefaultEntityResolution(true);
    parser->setErrorHandler(&errors_);
    return parser.release();
}
