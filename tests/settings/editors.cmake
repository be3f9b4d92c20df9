# filled in by the tests' owner
