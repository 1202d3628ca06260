# The wizard's pictures: a host program decodes the PNG files of
# app/resources at build time into a C++ source of pixels (the table of
# app/U_Pictures.h), compiled into the wizard's library. The program then
# shows them without decoding anything at start-up.
# Included from app/CMakeLists.txt after the brevant_app target exists.

add_executable(PictureGen ${CMAKE_CURRENT_LIST_DIR}/PictureGen.cpp)
target_link_libraries(PictureGen PRIVATE Qt6::Gui)

set(BREVANT_PICTURES
  icon32=${PROJECT_SOURCE_DIR}/app/resources/brevant-32.png
  icon256=${PROJECT_SOURCE_DIR}/app/resources/brevant-256.png
  side=${PROJECT_SOURCE_DIR}/app/resources/side.png
  check=${PROJECT_SOURCE_DIR}/app/resources/check.png
)
set(BREVANT_PICTURE_FILES ${BREVANT_PICTURES})
list(TRANSFORM BREVANT_PICTURE_FILES REPLACE "^[^=]*=" "")
set(BREVANT_PICTURES_SOURCE ${CMAKE_CURRENT_BINARY_DIR}/BrevantPictures.cpp)
add_custom_command(
  OUTPUT ${BREVANT_PICTURES_SOURCE}
  COMMAND PictureGen ${BREVANT_PICTURES_SOURCE} ${BREVANT_PICTURES}
  DEPENDS PictureGen ${BREVANT_PICTURE_FILES} ${CMAKE_CURRENT_LIST_FILE}
  COMMENT "Writing the pictures of Brevant as pixels"
  VERBATIM
)
target_sources(brevant_app PRIVATE ${BREVANT_PICTURES_SOURCE})
