#pragma once
// The OpenGL entry points of the launcher and the base layer's OpenGL diagnostics.
//
// Nothing links against an OpenGL library: every function is a pointer loaded from the current
// context by loadGlFunctions. The pointers carry the OpenGL names, so code inside qv::launcher
// calls glEnable(...) as usual and reaches the pointer. Include GLFW with GLFW_INCLUDE_NONE (or
// after this header) so that no system GL header declares the functions a second time.

#include <GL/glcorearb.h>

namespace qv::launcher {

using GlProc = void (*)();
// Returns the address of the named entry point in the current context, or null; glfwGetProcAddress
// has this form.
using GlProcLoader = GlProc (*)(const char* name);

// Every entry point as X(pointer type, name), in loading order (the order of the warnings too).
#define QV_GL_ENTRY_POINTS(X)                                                                      \
    /* render state */                                                                             \
    X(PFNGLENABLEPROC, glEnable)                                                                   \
    X(PFNGLDISABLEPROC, glDisable)                                                                 \
    X(PFNGLCLEARPROC, glClear)                                                                     \
    X(PFNGLCLEARCOLORPROC, glClearColor)                                                           \
    X(PFNGLCLEARDEPTHPROC, glClearDepth)                                                           \
    X(PFNGLCLEARDEPTHFPROC, glClearDepthf)                                                         \
    X(PFNGLCLEARSTENCILPROC, glClearStencil)                                                       \
    X(PFNGLVIEWPORTPROC, glViewport)                                                               \
    X(PFNGLSCISSORPROC, glScissor)                                                                 \
    X(PFNGLDEPTHFUNCPROC, glDepthFunc)                                                             \
    X(PFNGLDEPTHMASKPROC, glDepthMask)                                                             \
    X(PFNGLDEPTHRANGEPROC, glDepthRange)                                                           \
    X(PFNGLCULLFACEPROC, glCullFace)                                                               \
    X(PFNGLFRONTFACEPROC, glFrontFace)                                                             \
    X(PFNGLBLENDFUNCPROC, glBlendFunc)                                                             \
    X(PFNGLBLENDFUNCSEPARATEPROC, glBlendFuncSeparate)                                             \
    X(PFNGLBLENDEQUATIONPROC, glBlendEquation)                                                     \
    X(PFNGLBLENDEQUATIONSEPARATEPROC, glBlendEquationSeparate)                                     \
    X(PFNGLCOLORMASKPROC, glColorMask)                                                             \
    X(PFNGLPOLYGONOFFSETPROC, glPolygonOffset)                                                     \
    X(PFNGLPOLYGONMODEPROC, glPolygonMode)                                                         \
    X(PFNGLLINEWIDTHPROC, glLineWidth)                                                             \
    /* queries and pixels */                                                                       \
    X(PFNGLGETERRORPROC, glGetError)                                                               \
    X(PFNGLGETSTRINGPROC, glGetString)                                                             \
    X(PFNGLGETSTRINGIPROC, glGetStringi)                                                           \
    X(PFNGLGETINTEGERVPROC, glGetIntegerv)                                                         \
    X(PFNGLGETFLOATVPROC, glGetFloatv)                                                             \
    X(PFNGLFINISHPROC, glFinish)                                                                   \
    X(PFNGLFLUSHPROC, glFlush)                                                                     \
    X(PFNGLPIXELSTOREIPROC, glPixelStorei)                                                         \
    X(PFNGLREADPIXELSPROC, glReadPixels)                                                           \
    X(PFNGLREADBUFFERPROC, glReadBuffer)                                                           \
    /* shaders and programs */                                                                     \
    X(PFNGLCREATESHADERPROC, glCreateShader)                                                       \
    X(PFNGLSHADERSOURCEPROC, glShaderSource)                                                       \
    X(PFNGLCOMPILESHADERPROC, glCompileShader)                                                     \
    X(PFNGLGETSHADERIVPROC, glGetShaderiv)                                                         \
    X(PFNGLGETSHADERINFOLOGPROC, glGetShaderInfoLog)                                               \
    X(PFNGLDELETESHADERPROC, glDeleteShader)                                                       \
    X(PFNGLCREATEPROGRAMPROC, glCreateProgram)                                                     \
    X(PFNGLATTACHSHADERPROC, glAttachShader)                                                       \
    X(PFNGLDETACHSHADERPROC, glDetachShader)                                                       \
    X(PFNGLLINKPROGRAMPROC, glLinkProgram)                                                         \
    X(PFNGLGETPROGRAMIVPROC, glGetProgramiv)                                                       \
    X(PFNGLGETPROGRAMINFOLOGPROC, glGetProgramInfoLog)                                             \
    X(PFNGLUSEPROGRAMPROC, glUseProgram)                                                           \
    X(PFNGLDELETEPROGRAMPROC, glDeleteProgram)                                                     \
    X(PFNGLGETUNIFORMLOCATIONPROC, glGetUniformLocation)                                           \
    X(PFNGLGETACTIVEUNIFORMPROC, glGetActiveUniform)                                               \
    /* uniforms */                                                                                 \
    X(PFNGLUNIFORM1IPROC, glUniform1i)                                                             \
    X(PFNGLUNIFORM2IPROC, glUniform2i)                                                             \
    X(PFNGLUNIFORM3IPROC, glUniform3i)                                                             \
    X(PFNGLUNIFORM4IPROC, glUniform4i)                                                             \
    X(PFNGLUNIFORM1UIPROC, glUniform1ui)                                                           \
    X(PFNGLUNIFORM1FPROC, glUniform1f)                                                             \
    X(PFNGLUNIFORM2FPROC, glUniform2f)                                                             \
    X(PFNGLUNIFORM3FPROC, glUniform3f)                                                             \
    X(PFNGLUNIFORM4FPROC, glUniform4f)                                                             \
    X(PFNGLUNIFORM1FVPROC, glUniform1fv)                                                           \
    X(PFNGLUNIFORM2FVPROC, glUniform2fv)                                                           \
    X(PFNGLUNIFORM3FVPROC, glUniform3fv)                                                           \
    X(PFNGLUNIFORM4FVPROC, glUniform4fv)                                                           \
    X(PFNGLUNIFORM1IVPROC, glUniform1iv)                                                           \
    X(PFNGLUNIFORMMATRIX3FVPROC, glUniformMatrix3fv)                                               \
    X(PFNGLUNIFORMMATRIX4FVPROC, glUniformMatrix4fv)                                               \
    X(PFNGLGETUNIFORMBLOCKINDEXPROC, glGetUniformBlockIndex)                                       \
    X(PFNGLUNIFORMBLOCKBINDINGPROC, glUniformBlockBinding)                                         \
    /* compute */                                                                                  \
    X(PFNGLDISPATCHCOMPUTEPROC, glDispatchCompute)                                                 \
    X(PFNGLMEMORYBARRIERPROC, glMemoryBarrier)                                                     \
    /* buffers */                                                                                  \
    X(PFNGLCREATEBUFFERSPROC, glCreateBuffers)                                                     \
    X(PFNGLDELETEBUFFERSPROC, glDeleteBuffers)                                                     \
    X(PFNGLBINDBUFFERPROC, glBindBuffer)                                                           \
    X(PFNGLBINDBUFFERBASEPROC, glBindBufferBase)                                                   \
    X(PFNGLBINDBUFFERRANGEPROC, glBindBufferRange)                                                 \
    X(PFNGLNAMEDBUFFERDATAPROC, glNamedBufferData)                                                 \
    X(PFNGLNAMEDBUFFERSTORAGEPROC, glNamedBufferStorage)                                           \
    X(PFNGLNAMEDBUFFERSUBDATAPROC, glNamedBufferSubData)                                           \
    X(PFNGLMAPNAMEDBUFFERRANGEPROC, glMapNamedBufferRange)                                         \
    X(PFNGLUNMAPNAMEDBUFFERPROC, glUnmapNamedBuffer)                                               \
    X(PFNGLFLUSHMAPPEDNAMEDBUFFERRANGEPROC, glFlushMappedNamedBufferRange)                         \
    X(PFNGLCOPYNAMEDBUFFERSUBDATAPROC, glCopyNamedBufferSubData)                                   \
    /* vertex arrays */                                                                            \
    X(PFNGLCREATEVERTEXARRAYSPROC, glCreateVertexArrays)                                           \
    X(PFNGLDELETEVERTEXARRAYSPROC, glDeleteVertexArrays)                                           \
    X(PFNGLBINDVERTEXARRAYPROC, glBindVertexArray)                                                 \
    X(PFNGLENABLEVERTEXARRAYATTRIBPROC, glEnableVertexArrayAttrib)                                 \
    X(PFNGLDISABLEVERTEXARRAYATTRIBPROC, glDisableVertexArrayAttrib)                               \
    X(PFNGLVERTEXARRAYATTRIBFORMATPROC, glVertexArrayAttribFormat)                                 \
    X(PFNGLVERTEXARRAYATTRIBIFORMATPROC, glVertexArrayAttribIFormat)                               \
    X(PFNGLVERTEXARRAYATTRIBBINDINGPROC, glVertexArrayAttribBinding)                               \
    X(PFNGLVERTEXARRAYVERTEXBUFFERPROC, glVertexArrayVertexBuffer)                                 \
    X(PFNGLVERTEXARRAYELEMENTBUFFERPROC, glVertexArrayElementBuffer)                               \
    X(PFNGLVERTEXARRAYBINDINGDIVISORPROC, glVertexArrayBindingDivisor)                             \
    /* draws */                                                                                    \
    X(PFNGLDRAWARRAYSPROC, glDrawArrays)                                                           \
    X(PFNGLDRAWELEMENTSPROC, glDrawElements)                                                       \
    X(PFNGLDRAWELEMENTSBASEVERTEXPROC, glDrawElementsBaseVertex)                                   \
    X(PFNGLDRAWARRAYSINSTANCEDPROC, glDrawArraysInstanced)                                         \
    X(PFNGLDRAWELEMENTSINSTANCEDPROC, glDrawElementsInstanced)                                     \
    X(PFNGLDRAWARRAYSINSTANCEDBASEINSTANCEPROC, glDrawArraysInstancedBaseInstance)                 \
    X(PFNGLMULTIDRAWELEMENTSINDIRECTPROC, glMultiDrawElementsIndirect)                             \
    X(PFNGLMULTIDRAWARRAYSINDIRECTPROC, glMultiDrawArraysIndirect)                                 \
    /* textures and samplers */                                                                    \
    X(PFNGLCREATETEXTURESPROC, glCreateTextures)                                                   \
    X(PFNGLDELETETEXTURESPROC, glDeleteTextures)                                                   \
    X(PFNGLBINDTEXTUREPROC, glBindTexture)                                                         \
    X(PFNGLACTIVETEXTUREPROC, glActiveTexture)                                                     \
    X(PFNGLBINDTEXTUREUNITPROC, glBindTextureUnit)                                                 \
    X(PFNGLTEXTURESTORAGE2DPROC, glTextureStorage2D)                                               \
    X(PFNGLTEXTURESTORAGE3DPROC, glTextureStorage3D)                                               \
    X(PFNGLTEXTURESUBIMAGE2DPROC, glTextureSubImage2D)                                             \
    X(PFNGLTEXTURESUBIMAGE3DPROC, glTextureSubImage3D)                                             \
    X(PFNGLTEXTUREPARAMETERIPROC, glTextureParameteri)                                             \
    X(PFNGLTEXTUREPARAMETERFPROC, glTextureParameterf)                                             \
    X(PFNGLTEXTUREPARAMETERFVPROC, glTextureParameterfv)                                           \
    X(PFNGLTEXTUREPARAMETERIVPROC, glTextureParameteriv)                                           \
    X(PFNGLGETTEXTUREPARAMETERIVPROC, glGetTextureParameteriv)                                     \
    X(PFNGLGENERATETEXTUREMIPMAPPROC, glGenerateTextureMipmap)                                     \
    X(PFNGLGETTEXTUREIMAGEPROC, glGetTextureImage)                                                 \
    X(PFNGLCREATESAMPLERSPROC, glCreateSamplers)                                                   \
    X(PFNGLDELETESAMPLERSPROC, glDeleteSamplers)                                                   \
    X(PFNGLBINDSAMPLERPROC, glBindSampler)                                                         \
    X(PFNGLSAMPLERPARAMETERIPROC, glSamplerParameteri)                                             \
    X(PFNGLSAMPLERPARAMETERFPROC, glSamplerParameterf)                                             \
    X(PFNGLSAMPLERPARAMETERFVPROC, glSamplerParameterfv)                                           \
    /* framebuffers and renderbuffers */                                                           \
    X(PFNGLCREATEFRAMEBUFFERSPROC, glCreateFramebuffers)                                           \
    X(PFNGLDELETEFRAMEBUFFERSPROC, glDeleteFramebuffers)                                           \
    X(PFNGLBINDFRAMEBUFFERPROC, glBindFramebuffer)                                                 \
    X(PFNGLNAMEDFRAMEBUFFERTEXTUREPROC, glNamedFramebufferTexture)                                 \
    X(PFNGLNAMEDFRAMEBUFFERTEXTURELAYERPROC, glNamedFramebufferTextureLayer)                       \
    X(PFNGLNAMEDFRAMEBUFFERDRAWBUFFERPROC, glNamedFramebufferDrawBuffer)                           \
    X(PFNGLNAMEDFRAMEBUFFERDRAWBUFFERSPROC, glNamedFramebufferDrawBuffers)                         \
    X(PFNGLNAMEDFRAMEBUFFERREADBUFFERPROC, glNamedFramebufferReadBuffer)                           \
    X(PFNGLCHECKNAMEDFRAMEBUFFERSTATUSPROC, glCheckNamedFramebufferStatus)                         \
    X(PFNGLBLITNAMEDFRAMEBUFFERPROC, glBlitNamedFramebuffer)                                       \
    X(PFNGLCLEARNAMEDFRAMEBUFFERFVPROC, glClearNamedFramebufferfv)                                 \
    X(PFNGLCLEARNAMEDFRAMEBUFFERFIPROC, glClearNamedFramebufferfi)                                 \
    X(PFNGLCREATERENDERBUFFERSPROC, glCreateRenderbuffers)                                         \
    X(PFNGLDELETERENDERBUFFERSPROC, glDeleteRenderbuffers)                                         \
    X(PFNGLNAMEDRENDERBUFFERSTORAGEPROC, glNamedRenderbufferStorage)                               \
    X(PFNGLNAMEDRENDERBUFFERSTORAGEMULTISAMPLEPROC, glNamedRenderbufferStorageMultisample)         \
    X(PFNGLNAMEDFRAMEBUFFERRENDERBUFFERPROC, glNamedFramebufferRenderbuffer)                       \
    /* debug */                                                                                    \
    X(PFNGLDEBUGMESSAGECALLBACKPROC, glDebugMessageCallback)                                       \
    X(PFNGLDEBUGMESSAGECONTROLPROC, glDebugMessageControl)                                         \
    X(PFNGLOBJECTLABELPROC, glObjectLabel)                                                         \
    X(PFNGLPUSHDEBUGGROUPPROC, glPushDebugGroup)                                                   \
    X(PFNGLPOPDEBUGGROUPPROC, glPopDebugGroup)                                                     \
    /* queries and sync */                                                                         \
    X(PFNGLCREATEQUERIESPROC, glCreateQueries)                                                     \
    X(PFNGLDELETEQUERIESPROC, glDeleteQueries)                                                     \
    X(PFNGLBEGINQUERYPROC, glBeginQuery)                                                           \
    X(PFNGLENDQUERYPROC, glEndQuery)                                                               \
    X(PFNGLQUERYCOUNTERPROC, glQueryCounter)                                                       \
    X(PFNGLGETQUERYOBJECTIVPROC, glGetQueryObjectiv)                                               \
    X(PFNGLGETQUERYOBJECTUI64VPROC, glGetQueryObjectui64v)                                         \
    X(PFNGLFENCESYNCPROC, glFenceSync)                                                             \
    X(PFNGLCLIENTWAITSYNCPROC, glClientWaitSync)                                                   \
    X(PFNGLDELETESYNCPROC, glDeleteSync)                                                           \
    /* further OpenGL 4.5 functions */                                                             \
    X(PFNGLCLIPCONTROLPROC, glClipControl)                                                         \
    X(PFNGLBLENDCOLORPROC, glBlendColor)                                                           \
    X(PFNGLTEXTUREBARRIERPROC, glTextureBarrier)                                                   \
    X(PFNGLINVALIDATETEXIMAGEPROC, glInvalidateTexImage)                                           \
    X(PFNGLINVALIDATENAMEDFRAMEBUFFERDATAPROC, glInvalidateNamedFramebufferData)                   \
    X(PFNGLBINDIMAGETEXTUREPROC, glBindImageTexture)                                               \
    X(PFNGLCLEARTEXIMAGEPROC, glClearTexImage)                                                     \
    X(PFNGLGENERATEMIPMAPPROC, glGenerateMipmap)                                                   \
    X(PFNGLDRAWBUFFERSPROC, glDrawBuffers)                                                         \
    X(PFNGLGETTEXTURESUBIMAGEPROC, glGetTextureSubImage)

#define QV_GL_DECLARE_ENTRY_POINT(type, name) extern type name;
QV_GL_ENTRY_POINTS(QV_GL_DECLARE_ENTRY_POINT)
#undef QV_GL_DECLARE_ENTRY_POINT

// Looks every entry point up once with loader, stores what it returns (null included) and warns
// about each missing one after all lookups. Returns how many were missing (0 to 163). Call it on
// the thread whose context is current, after making it current.
int loadGlFunctions(GlProcLoader loader);

// The name of an OpenGL error code, "GL_UNKNOWN_ERROR" for codes without one.
const char* glErrorName(unsigned code);

// Logs pending OpenGL errors, at most eight per call, tagged with where; later ones stay pending.
void checkGlError(const char* where);

// Routes the context's debug messages into the log, synchronously, with notifications switched off.
void enableGlDebugOutput();

// The debug-message callback that enableGlDebugOutput installs.
void APIENTRY glDebugCallback(GLenum source, GLenum type, GLuint id, GLenum severity,
                              GLsizei length, const GLchar* message, const void* userParam);

} // namespace qv::launcher
