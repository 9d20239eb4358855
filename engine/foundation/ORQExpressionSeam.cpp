#include "engine/foundation/ORQExpressionSeam.h"

#include <mutex>

#include "engine/foundation/ORQExcept.h"

namespace orq {

namespace {

std::mutex FactoryLock;

TORQExpressionFactory& Factory() {
    static TORQExpressionFactory factory;
    return factory;
}

}  // namespace

void SetExpressionFactory(TORQExpressionFactory NewFactory) {
    std::lock_guard<std::mutex> guard(FactoryLock);
    Factory() = std::move(NewFactory);
}

bool HasExpressionFactory() {
    std::lock_guard<std::mutex> guard(FactoryLock);
    return static_cast<bool>(Factory());
}

std::unique_ptr<TORQBaseExpression> CreateExpression() {
    TORQExpressionFactory factory;
    {
        std::lock_guard<std::mutex> guard(FactoryLock);
        factory = Factory();
    }
    std::unique_ptr<TORQBaseExpression> expression = factory ? factory() : nullptr;
    if (!expression) RaiseNative(20007, "Database Engine is not initialized");
    return expression;
}

bool IsDefaultValueExpression(const TORQVariant& Value) { return CreateExpression()->IsDefaultValueExpression(Value); }

}  // namespace orq
