# Finding a CPython interpreter by version, without hard-coded paths.
#
# zendral_find_python(<major.minor> <out_var>) sets <out_var> to an
# interpreter that really runs as that version: `python<major.minor>` on PATH
# if it does (a pyenv shim for a version that is not active does not), else
# the newest pyenv-installed <major.minor>.x. <out_var> is empty if neither.
# A launcher such as a pyenv shim is resolved to the interpreter it runs, so
# a build keeps using the same Python whichever version is active later.
#
# As a script it prints what it finds (nothing when none):
#   cmake -DZENDRAL_FIND_VERSION=3.11 -P cmake/ZendralPython.cmake

function(_zendral_python_version interpreter out_var)
  execute_process(
    COMMAND "${interpreter}" -c "import sys; print('%d.%d' % sys.version_info[:2])"
    RESULT_VARIABLE status
    OUTPUT_VARIABLE version
    ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(status EQUAL 0)
    set(${out_var} "${version}" PARENT_SCOPE)
  else()
    set(${out_var} "" PARENT_SCOPE)
  endif()
endfunction()

# _zendral_python_implementation(<interpreter> <out_var>): "CPython", "PyPy",
# ..., or empty when the interpreter does not run.
function(_zendral_python_implementation interpreter out_var)
  execute_process(
    COMMAND "${interpreter}" -c "import platform; print(platform.python_implementation())"
    RESULT_VARIABLE status
    OUTPUT_VARIABLE implementation
    ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    set(implementation "")
  endif()
  set(${out_var} "${implementation}" PARENT_SCOPE)
endfunction()

function(zendral_find_python version out_var)
  find_program(on_path NAMES "python${version}" NO_CACHE)
  if(on_path)
    _zendral_python_version("${on_path}" got)
    if(got STREQUAL version)
      execute_process(COMMAND "${on_path}" -c "import sys; print(sys.executable)"
                      OUTPUT_VARIABLE executable ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(NOT executable)
        set(executable "${on_path}")
      endif()
      set(${out_var} "${executable}" PARENT_SCOPE)
      return()
    endif()
  endif()

  find_program(pyenv NAMES pyenv NO_CACHE
               HINTS "$ENV{PYENV_ROOT}/bin" "$ENV{HOME}/.pyenv/bin")
  if(pyenv)
    execute_process(COMMAND "${pyenv}" versions --bare
                    OUTPUT_VARIABLE installed ERROR_QUIET)
    string(REPLACE "." "\\." pattern "${version}")
    string(REGEX MATCHALL "(^|\n)${pattern}\\.[0-9]+(\n|$)" matches "${installed}")
    list(TRANSFORM matches STRIP)
    list(SORT matches COMPARE NATURAL ORDER DESCENDING)
    foreach(release IN LISTS matches)
      execute_process(COMMAND "${pyenv}" prefix "${release}"
                      OUTPUT_VARIABLE prefix ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
      set(candidate "${prefix}/bin/python${version}")
      if(EXISTS "${candidate}")
        _zendral_python_version("${candidate}" got)
        if(got STREQUAL version)
          set(${out_var} "${candidate}" PARENT_SCOPE)
          return()
        endif()
      endif()
    endforeach()
  endif()
  set(${out_var} "" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND ZENDRAL_FIND_VERSION)
  zendral_find_python("${ZENDRAL_FIND_VERSION}" found)
  if(found)
    execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${found}")
  endif()
endif()
