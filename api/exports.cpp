// Placeholder: the C exports arrive with the engine.
