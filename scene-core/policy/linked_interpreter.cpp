#include "policy/linked_interpreter.h"

#include "vrex_interpreter.h"

namespace zorva::scene {

const InterpreterTable &linkedInterpreter() {
    static const InterpreterTable table{&compileInitPolicy, &deployPolicy, &compileSectionPolicy, &sendPolicy,
                                        &modifyDynamicVariable};
    return table;
}

}  // namespace zorva::scene
