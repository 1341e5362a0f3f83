# Install rules and CPack packages.
install(TARGETS Kavnori RUNTIME DESTINATION bin)
