#pragma once

#include "language/syntax.hpp"
#include "language/token_cursor.hpp"

// Productions of the architecture declarations, the statements they share
// and the expression grammar. Each is called with the cursor on its leading
// keyword and returns its record; the first violation throws VostelError.
namespace Core::Vostel {

NeuronDecl parseNeuron(TokenCursor& cursor);
PopulationDecl parsePopulation(TokenCursor& cursor);
CircuitDecl parseCircuit(TokenCursor& cursor);
ConstructDecl parseConstruct(TokenCursor& cursor);
ControllerDecl parseController(TokenCursor& cursor);
ModuleDecl parseModule(TokenCursor& cursor);
NetworkDecl parseNetwork(TokenCursor& cursor);
BrainDecl parseBrain(TokenCursor& cursor);
PlasticityDecl parsePlasticity(TokenCursor& cursor);
CompetitionDecl parseCompetition(TokenCursor& cursor);
SourceDecl parseSource(TokenCursor& cursor);
ChemistryDecl parseChemistry(TokenCursor& cursor);
EventDecl parseEvent(TokenCursor& cursor);

// name tokens... (';' | '{' fields '}' [';']) — called on the field's name.
Runtime2Field parseRuntime2Field(TokenCursor& cursor);

// logical -> comparison { ('and' | 'or') comparison }
Expression parseExpression(TokenCursor& cursor);

}  // namespace Core::Vostel
